#pragma once

#include <QString>

namespace tessaly::bench {

// The path of a 65,536-row x 10-column BIFF8 workbook, written once with Gnumeric's ssconvert and
// cached in the build tree; empty (with a message) when it cannot be written.
QString bigWorkbookPath();

} // namespace tessaly::bench
