#include "bench/BigWorkbook.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace tessaly::bench {

namespace {

constexpr int kRows = 65536;

// A heading row, then numbers, unique and repeated texts, dates and booleans, as real sheets mix
// them; wider sheets repeat the ten columns.
bool writeBigWorkbook(const QString &path, int columns)
{
    QTemporaryDir dir;
    const QString csvPath = dir.filePath(QStringLiteral("big.csv"));
    QFile csv(csvPath);
    if (!csv.open(QIODevice::WriteOnly))
        return false;
    QTextStream out(&csv);
    const int repeats = columns / 10;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const QString suffix = repeat ? QString::number(repeat) : QString();
        for (const char *heading : {"id", "name", "price", "ordered", "category", "paid", "quantity", "ratio", "code", "note"})
            out << (repeat || qstrcmp(heading, "id") ? "," : "") << heading << suffix;
    }
    for (int extra = repeats * 10; extra < columns; ++extra)
        out << ",extra" << extra;
    out << '\n';
    for (int row = 1; row < kRows; ++row) {
        for (int repeat = 0; repeat < repeats; ++repeat) {
            out << (repeat ? "," : "") << row << ",name " << row << ',' << row * 1.25 << ",2024-" << (row % 12 + 1) << '-'
                << (row % 28 + 1) << ",category " << row % 17 << ',' << (row % 2 ? "TRUE" : "FALSE") << ',' << row % 100 << ','
                << 1.0 / row << ',' << row * 7 << ",note " << row % 1000;
        }
        for (int extra = repeats * 10; extra < columns; ++extra)
            out << ',' << row + extra;
        out << '\n';
    }
    out.flush();
    csv.close();
    std::fprintf(stderr, "writing %s with ssconvert...\n", qPrintable(path));
    return QProcess::execute(QStringLiteral("ssconvert"),
                             {QStringLiteral("-T"), QStringLiteral("Gnumeric_Excel:excel_biff8"), csvPath, path})
           == 0;
}

} // namespace

QString bigWorkbookPath(int columns)
{
    const QString path = QStringLiteral(TESSALY_BENCH_CACHE "/bench-65536x%1-biff8.xls").arg(columns);
    if (QFile::exists(path) || writeBigWorkbook(path, columns))
        return path;
    std::fprintf(stderr, "cannot write %s (is ssconvert installed?)\n", qPrintable(path));
    return {};
}

QString bigWorkbookPath(const QString &exporter, const QString &suffix)
{
    const QString source = bigWorkbookPath();
    if (source.isEmpty())
        return {};
    const QString path = QStringLiteral(TESSALY_BENCH_CACHE "/bench-65536x10.") + suffix;
    if (QFile::exists(path))
        return path;
    std::fprintf(stderr, "writing %s with ssconvert...\n", qPrintable(path));
    if (QProcess::execute(QStringLiteral("ssconvert"), {QStringLiteral("-T"), exporter, source, path}) == 0)
        return path;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return {};
}

} // namespace tessaly::bench
