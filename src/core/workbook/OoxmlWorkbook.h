#pragma once

#include "core/workbook/Workbook.h"

namespace tessaly::workbook {

class ZipPackage;

// Opens an Office Open XML workbook (.xlsx, .xlsm, .xltx; Transitional or Strict); fails when the
// package holds none or it cannot be read.
Result<std::unique_ptr<Workbook>> openOoxmlWorkbook(std::unique_ptr<ZipPackage> package);

// Replaces the _xHHHH_ escapes with which OOXML writes characters XML cannot carry, from `from` on;
// _x005F_ stands for the underscore itself.
void decodeOoxmlEscapes(QString &text, qsizetype from);

} // namespace tessaly::workbook
