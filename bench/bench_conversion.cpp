// Times tessaly-cli convert side by side with catdoc's xls2csv and measures the window's selection
// of a sheet, on the cached 65,536-row workbooks of 10 and of 256 columns (or on the workbooks
// named on the command line):
//   - convert: median wall time against xls2csv's, both writing to a new file; peak memory
//     against the document's size;
//   - selecting the sheet in the window (reading it, composing the document, showing it in the
//     view, offscreen, until the first paint): wall time, and the process's peak memory against
//     the document's UTF-8 size.
//   tessaly-bench-convert [WORKBOOK...]
//   tessaly-bench-convert --select WORKBOOK   (one selection, in a process of its own)
#include "bench/BigWorkbook.h"
#include "core/document/XmlDocument.h"
#include "core/workbook/Workbook.h"
#include "gui/DocumentView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace tessaly;

namespace {

struct Run {
    double ms = -1; // negative when the program is missing or fails
    double peakMb = 0;
};

// Runs a program with its standard output going to `outputPath`; the wall time and, on Unix,
// the peak resident memory of that one process.
Run runOnce(const QString &program, const QStringList &arguments, const QString &outputPath)
{
    const QString path = QStandardPaths::findExecutable(program).isEmpty() ? program : QStandardPaths::findExecutable(program);
    if (!QFileInfo(path).isExecutable())
        return {};
    QElapsedTimer timer;
    timer.start();
#ifdef Q_OS_UNIX
    std::vector<QByteArray> words{path.toLocal8Bit()};
    for (const QString &argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (spawned != 0 || wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return {double(timer.nsecsElapsed()) / 1e6, double(usage.ru_maxrss) / 1024};
#else
    QProcess process;
    process.setStandardOutputFile(outputPath);
    process.start(path, arguments);
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        return {};
    return {double(timer.nsecsElapsed()) / 1e6, 0};
#endif
}

// The run of median time among `repeats`.
Run medianRun(int repeats, const QString &program, const QStringList &arguments, const QString &outputPath)
{
    std::vector<Run> runs;
    for (int i = 0; i < repeats; ++i) {
        // Each run writes a new file: the previous run's output is removed and its pages written
        // out first, so that no run pays for freeing another's (a 442 MB document took 0.1 s).
        QFile::remove(outputPath);
#ifdef Q_OS_UNIX
        ::sync();
#endif
        runs.push_back(runOnce(program, arguments, outputPath));
        if (runs.back().ms < 0)
            return {};
    }
    std::sort(runs.begin(), runs.end(), [](const Run &a, const Run &b) { return a.ms < b.ms; });
    return runs[runs.size() / 2];
}

void measure(const QString &workbook)
{
    QTemporaryDir dir;
    const QString document = dir.filePath(QStringLiteral("out.xml"));
    const int repeats = QFileInfo(workbook).size() > (64 << 20) ? 3 : 7;
    const Run cli = medianRun(repeats, QStringLiteral(TESSALY_CLI), {QStringLiteral("convert"), workbook}, document);
    const double documentMb = double(QFileInfo(document).size()) / (1 << 20);
    const Run xls2csv = medianRun(repeats, QStringLiteral("xls2csv"), {workbook}, dir.filePath(QStringLiteral("out.csv")));
    const Run xlrd = repeats == 3 ? Run{} // minutes and gigabytes for the widest sheet
                                  : medianRun(repeats, QStringLiteral("/usr/bin/python3"),
                                              {QStringLiteral(TESSALY_BENCH_SOURCE "/xlrd_to_xml.py"), workbook,
                                               dir.filePath(QStringLiteral("xlrd.xml"))},
                                              dir.filePath(QStringLiteral("xlrd.out")));
    const Run select = runOnce(QCoreApplication::applicationFilePath(), {QStringLiteral("--select"), workbook},
                               dir.filePath(QStringLiteral("select.txt")));
    QFile selectOutput(dir.filePath(QStringLiteral("select.txt")));
    const double selectMs = selectOutput.open(QIODevice::ReadOnly) ? selectOutput.readAll().toDouble() : -1;

    std::printf("%s (%.1f MB), median of %d runs; document %.1f MB\n", qPrintable(workbook),
                double(QFileInfo(workbook).size()) / (1 << 20), repeats, documentMb);
    if (cli.ms < 0) {
        std::printf("  tessaly-cli convert failed\n");
        return;
    }
    std::printf("  tessaly-cli convert      %9.1f ms  peak %7.1f MB = %.2f x the document\n", cli.ms, cli.peakMb,
                cli.peakMb / documentMb);
    if (xls2csv.ms < 0)
        std::printf("  catdoc xls2csv           (not available)\n");
    else
        std::printf("  catdoc xls2csv           %9.1f ms  -> convert takes %.2f of its time\n", xls2csv.ms, cli.ms / xls2csv.ms);
    if (xlrd.ms >= 0)
        std::printf("  xlrd script              %9.1f ms\n", xlrd.ms);
    std::printf("  select in the window     %9.1f ms  peak %7.1f MB = %.2f x the document's UTF-8 size"
                " (first paint: %.2f x the conversion)\n",
                selectMs, select.peakMb, select.peakMb / documentMb, selectMs / cli.ms);
}

// What selecting a sheet in the window does, with the workbook open as the window keeps it:
// reading the sheet, composing the document, showing it until the first paint. Prints the time.
int selectSheet(const QString &workbook)
{
    const Result<std::unique_ptr<workbook::Workbook>> book = workbook::Workbook::open(workbook);
    if (!book)
        return 1;
    DocumentView view;
    view.resize(385, 289);
    QElapsedTimer timer;
    timer.start();
    {
        const Result<workbook::SheetTable> table = (*book)->readSheet(0);
        if (!table)
            return 1;
        view.setUtf8(buildUtf8Document(*table, Settings{}));
    }
    view.show();
    view.repaint();
    QApplication::processEvents();
    std::printf("%.1f\n", double(timer.nsecsElapsed()) / 1e6);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.size() == 2 && arguments.first() == u"--select")
        return selectSheet(arguments.last());
    if (arguments.isEmpty())
        arguments = {bench::bigWorkbookPath(10), bench::bigWorkbookPath(256)};
    for (const QString &workbook : arguments) {
        if (!workbook.isEmpty())
            measure(workbook);
    }
    return 0;
}
