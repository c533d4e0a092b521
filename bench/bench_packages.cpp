// Times tessaly-cli convert on the 65,536-row x 10-column workbook saved as .xlsx and as .ods by
// ssconvert, side by side with ssconvert's own conversion to CSV, xlsx2csv, openpyxl's read-only
// load and pandas' read_excel (odf).
//   tessaly-bench-packages
#include "bench/BigWorkbook.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tessaly;

namespace {

struct Run {
    double seconds = -1; // median wall time; negative when the command is missing or failed
    double cpuSeconds = 0; // median user + system time: less swayed by a busy machine
    double peakMb = 0; // the largest peak resident memory of the runs
};

// Runs the command `repeats` times under GNU time.
Run measure(int repeats, const QString &program, const QStringList &arguments)
{
    if (QStandardPaths::findExecutable(program).isEmpty() && !QFile::exists(program))
        return {};
    QTemporaryDir dir;
    const QString report = dir.filePath(QStringLiteral("time"));
    std::vector<double> times;
    std::vector<double> cpuTimes;
    Run run;
    for (int i = 0; i < repeats; ++i) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(QStringLiteral("/usr/bin/time"),
                      QStringList{QStringLiteral("-f"), QStringLiteral("%e %M %U %S"), QStringLiteral("-o"), report, program}
                          + arguments);
        if (!process.waitForFinished(600000) || process.exitCode() != 0)
            return {};
        QFile file(report);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
        times.push_back(fields.value(0).toDouble());
        run.peakMb = std::max(run.peakMb, fields.value(1).toDouble() / 1024);
        cpuTimes.push_back(fields.value(2).toDouble() + fields.value(3).toDouble());
    }
    std::sort(times.begin(), times.end());
    std::sort(cpuTimes.begin(), cpuTimes.end());
    run.seconds = times[times.size() / 2];
    run.cpuSeconds = cpuTimes[cpuTimes.size() / 2];
    return run;
}

void print(const char *name, const Run &run, const Run &ours)
{
    if (run.seconds < 0)
        std::printf("  %-30s  (not available)\n", name);
    else
        std::printf("  %-30s %8.2f s (CPU %6.2f s) %7.1f MB peak; tessaly-cli takes 1/%.1f of it (CPU 1/%.1f)\n", name,
                    run.seconds, run.cpuSeconds, run.peakMb, run.seconds / std::max(ours.seconds, 0.01),
                    run.cpuSeconds / std::max(ours.cpuSeconds, 0.01));
}

void compare(const QString &path, const std::vector<std::pair<const char *, Run>> &others)
{
    QTemporaryDir dir;
    const QString cli = QStringLiteral(TESSALY_CLI);
    const QString output = dir.filePath(QStringLiteral("out.xml"));
    const Run ours = measure(5, cli, {QStringLiteral("convert"), path, QStringLiteral("-o"), output});
    std::printf("%s (%.1f MB):\n", qPrintable(path), double(QFileInfo(path).size()) / (1024 * 1024));
    std::printf("  %-30s %8.2f s (CPU %6.2f s) %7.1f MB peak, for a %.1f MB document (median of 5)\n", "tessaly-cli convert",
                ours.seconds, ours.cpuSeconds, ours.peakMb, double(QFileInfo(output).size()) / (1024 * 1024));
    for (const auto &[name, run] : others)
        print(name, run, ours);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString xlsx = bench::bigWorkbookPath(QStringLiteral("Gnumeric_Excel:xlsx"), QStringLiteral("xlsx"));
    const QString ods = bench::bigWorkbookPath(QStringLiteral("Gnumeric_OpenCalc:odf"), QStringLiteral("ods"));
    if (xlsx.isEmpty() || ods.isEmpty())
        return 1;
    const QString python = QStringLiteral("/usr/bin/python3");
    QTemporaryDir csvDir;
    const QString csv = csvDir.filePath(QStringLiteral("out.csv"));
    const auto ssconvert = [&](const QString &path) { return measure(3, QStringLiteral("ssconvert"), {path, csv}); };
    const QString scripts = QStringLiteral(TESSALY_BENCH_SOURCE "/");
    compare(xlsx, {{"ssconvert to CSV (median of 3)", ssconvert(xlsx)},
                   {"xlsx2csv (median of 3)", measure(3, QStringLiteral("xlsx2csv"), {xlsx})},
                   {"openpyxl read-only (1 run)", measure(1, python, {scripts + QStringLiteral("openpyxl_read.py"), xlsx})}});
    compare(ods, {{"ssconvert to CSV (median of 3)", ssconvert(ods)},
                  {"pandas read_excel odf (1 run)", measure(1, python, {scripts + QStringLiteral("pandas_read_ods.py"), ods})}});
    return 0;
}
