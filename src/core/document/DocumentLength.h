#pragma once

#include <QString>
#include <QtGlobal>

namespace tessaly {

// A document larger than this cannot be shown, saved or sent in one piece.
inline constexpr quint64 kMaxDocumentLength = quint64(1) << 32;
// The least a cell adds to the document beside its text: "<a>" and "</a>\r\n". The workbook readers
// use it to stop early on a sheet whose cells alone could never fit.
inline constexpr quint64 kCellMarkup = 9;

inline QString documentTooLarge()
{
    return QStringLiteral("このシートの XML 文書は上限の 4 GiB を超えるため読めません");
}

} // namespace tessaly
