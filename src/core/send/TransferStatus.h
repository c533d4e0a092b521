#pragma once

#include <QString>

#include <optional>

namespace tessaly {

class Transfer;

// The status line's new text for a state notification of the transfer: the error line for a failed
// transfer, the whole answer for a completed one, nothing for any other state.
std::optional<QString> statusTextForState(int state, Transfer &transfer);

} // namespace tessaly
