#pragma once

#include <Qt>

namespace tessaly {

// A fixed-size dialog with a title bar and a close box, without minimise, maximise or help buttons.
inline constexpr Qt::WindowFlags kFixedDialogFlags = Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                                                     | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

} // namespace tessaly
