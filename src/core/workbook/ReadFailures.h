#pragma once

#include "core/Result.h"

namespace tessaly::workbook {

// Why a workbook cannot be read, worded once for every reader.
inline Failure corruptFile(const QString &detail)
{
    return Failure{QStringLiteral("ファイルが壊れています（%1）").arg(detail)};
}

inline Failure zipWithoutWorkbook()
{
    return Failure{QStringLiteral("ZIP ファイルですが、ブックが入っていません")};
}

} // namespace tessaly::workbook
