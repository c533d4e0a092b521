#pragma once

#include <QString>

namespace tessaly::workbook {

// Why a workbook cannot be read, worded once for every reader.
inline QString corruptFile(const QString &detail)
{
    return QStringLiteral("ファイルが壊れています（%1）").arg(detail);
}

inline QString zipWithoutWorkbook()
{
    return QStringLiteral("ZIP ファイルですが、ブックが入っていません");
}

} // namespace tessaly::workbook
