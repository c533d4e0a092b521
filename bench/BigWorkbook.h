#pragma once

#include <QString>

namespace tessaly::bench {

// The path of a 65,536-row BIFF8 workbook of 10 columns, or of 256 (the most the format allows),
// written once with Gnumeric's ssconvert and cached in the build tree; empty (with a message) when
// it cannot be written.
QString bigWorkbookPath(int columns = 10);

// The same workbook saved by ssconvert with `exporter` (Gnumeric_Excel:xlsx, Gnumeric_OpenCalc:odf)
// as `suffix`, cached beside it; empty (with a message) when it cannot be written.
QString bigWorkbookPath(const QString &exporter, const QString &suffix);

} // namespace tessaly::bench
