#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QString>

namespace tessaly::workbook {

// Prepares libgsf once and keeps its log off standard error.
void initGsf();

// The workbook stream of an OLE2 compound file held in memory.
Result<QByteArray> readWorkbookStream(const QByteArray &file);

} // namespace tessaly::workbook
