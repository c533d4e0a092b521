#include "core/send/TransferStatus.h"

namespace tessaly {

QString statusLine(const TransferResult &result)
{
    if (result.ok)
        return result.answerText;
    return QStringLiteral("エラー") + QString::number(result.code) + u':' + result.description;
}

} // namespace tessaly
