#pragma once

#include "core/send/Transfer.h"

#include <QString>

namespace tessaly {

// The status line at the end of a transfer: the server's answer, or the error line
// "エラー<code>:<description>".
QString statusLine(const TransferResult &result);

} // namespace tessaly
