#pragma once

#include <QByteArray>
#include <QString>

namespace tessaly::xls {

// Prepares libgsf once and keeps its log off standard error.
void initGsf();

// Finds the workbook stream in an OLE2 compound file held in memory. On failure returns false and
// sets *errorString to a Japanese description.
bool readWorkbookStream(const QByteArray &file, QByteArray *stream, QString *errorString);

} // namespace tessaly::xls
