#include "core/send/TransferStatus.h"

#include "core/send/Transfer.h"

namespace tessaly {

std::optional<QString> statusTextForState(int state, Transfer &transfer)
{
    if (state == Transfer::kStateError)
        return QStringLiteral("エラー") + QString::number(transfer.responseCode()) + u':' + transfer.responseInfo();
    if (state != Transfer::kStateResponseCompleted)
        return std::nullopt;
    QString answer;
    for (QString chunk = transfer.getChunk(1024); !chunk.isEmpty(); chunk = transfer.getChunk(1024))
        answer += chunk;
    return answer;
}

} // namespace tessaly
