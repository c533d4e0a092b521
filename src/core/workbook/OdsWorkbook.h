#pragma once

#include "core/workbook/Workbook.h"

namespace tessaly::xls {

class ZipPackage;

// Opens an OpenDocument spreadsheet (.ods); nullptr and a Japanese *errorString when the package
// is encrypted, holds no spreadsheet or cannot be read.
std::unique_ptr<Workbook> openOdsWorkbook(std::unique_ptr<ZipPackage> package, QString *errorString);

} // namespace tessaly::xls
