#pragma once

#include "core/workbook/Workbook.h"

namespace tessaly::workbook {

class ZipPackage;

// Opens an OpenDocument spreadsheet (.ods); fails when the package is encrypted, holds no spreadsheet or cannot be read.
Result<std::unique_ptr<Workbook>> openOdsWorkbook(std::unique_ptr<ZipPackage> package);

} // namespace tessaly::workbook
