#include "bench/BigWorkbook.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace tessaly::bench {

namespace {

constexpr int kRows = 65536;

// A heading row, then numbers, unique and repeated texts, dates and booleans, as real sheets mix them.
bool writeBigWorkbook(const QString &path)
{
    QTemporaryDir dir;
    const QString csvPath = dir.filePath(QStringLiteral("big.csv"));
    QFile csv(csvPath);
    if (!csv.open(QIODevice::WriteOnly))
        return false;
    QTextStream out(&csv);
    out << "id,name,price,ordered,category,paid,quantity,ratio,code,note\n";
    for (int row = 1; row < kRows; ++row) {
        out << row << ",name " << row << ',' << row * 1.25 << ",2024-" << (row % 12 + 1) << '-' << (row % 28 + 1)
            << ",category " << row % 17 << ',' << (row % 2 ? "TRUE" : "FALSE") << ',' << row % 100 << ','
            << 1.0 / row << ',' << row * 7 << ",note " << row % 1000 << '\n';
    }
    out.flush();
    csv.close();
    std::fprintf(stderr, "writing %s with ssconvert...\n", qPrintable(path));
    return QProcess::execute(QStringLiteral("ssconvert"),
                             {QStringLiteral("-T"), QStringLiteral("Gnumeric_Excel:excel_biff8"), csvPath, path})
        == 0;
}

} // namespace

QString bigWorkbookPath()
{
    const QString path = QStringLiteral(TESSALY_BENCH_CACHE "/bench-65536x10-biff8.xls");
    if (QFile::exists(path) || writeBigWorkbook(path))
        return path;
    std::fprintf(stderr, "cannot write %s (is ssconvert installed?)\n", qPrintable(path));
    return {};
}

} // namespace tessaly::bench
