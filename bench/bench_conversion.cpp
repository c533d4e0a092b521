// Times the way from a large workbook to its document on screen, and tessaly-cli convert side by
// side with catdoc's xls2csv and an xlrd script that writes the same XML.
//   tessaly-bench-convert [WORKBOOK]   (default: the cached 65,536-row x 10-column BIFF8 workbook)
#include "gui/DocumentView.h"
#include "bench/BigWorkbook.h"
#include "core/document/XmlDocument.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif
#include <vector>

using namespace tessaly;

namespace {

constexpr int kRepeats = 5;

double medianMs(int repeats, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Shows the widget with the text and waits until it has been painted once.
template <typename View>
void showText(View &view, const std::function<void()> &setText)
{
    setText();
    view.show();
    view.repaint();
    QApplication::processEvents();
}

void measureInProcess(const QString &path)
{
    QString error;
    std::unique_ptr<xls::Workbook> book;
    std::optional<xls::SheetTable> table;
    const double readMs = medianMs(kRepeats, [&] {
        book = xls::Workbook::open(path, &error);
        table = book ? book->readSheet(0, &error) : std::nullopt;
    });
    if (!table) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        std::exit(1);
    }
    QString document;
    const double buildMs = medianMs(kRepeats, [&] { document = buildDocument(*table, Settings{}); });
    const double encodeMs = medianMs(kRepeats, [&] { documentFileBytes(document, QStringLiteral("Shift_JIS")); });

    DocumentView view;
    view.resize(385, 289);
    const double viewMs = medianMs(kRepeats, [&] { showText(view, [&] { view.setText(document); }); });
    QPlainTextEdit plain;
    plain.resize(385, 289);
    const double plainMs = medianMs(1, [&] { showText(plain, [&] { plain.setPlainText(document); }); });

    std::printf("%s: %lld records x %lld columns, document of %lld characters\n", qPrintable(path),
                qlonglong(table->recordCount()), qlonglong(table->columnCount()), qlonglong(document.size()));
    std::printf("  open and read the sheet          %9.1f ms\n", readMs);
    std::printf("  build the document               %9.1f ms\n", buildMs);
    std::printf("  encode it in Shift_JIS           %9.1f ms\n", encodeMs);
    std::printf("  show it in DocumentView          %9.1f ms\n", viewMs);
    std::printf("  show it in QPlainTextEdit        %9.1f ms (for comparison, one run)\n", plainMs);
    std::printf("  selecting to on screen           %9.1f ms\n", readMs + buildMs + viewMs);
}

// Runs a command kRepeats times; returns the median wall time, or a negative value when it fails.
double commandMs(const QString &program, const QStringList &arguments, const QString &standardOutput = {})
{
    if (QStandardPaths::findExecutable(program).isEmpty() && !QFile::exists(program))
        return -1;
    bool failed = false;
    const double ms = medianMs(kRepeats, [&] {
        QProcess process;
        if (!standardOutput.isEmpty())
            process.setStandardOutputFile(standardOutput);
        process.start(program, arguments);
        failed |= !process.waitForFinished(120000) || process.exitCode() != 0;
    });
    return failed ? -1 : ms;
}

void printCommand(const char *name, double ms)
{
    if (ms < 0)
        std::printf("  %-32s    (not available)\n", name);
    else
        std::printf("  %-32s %9.1f ms\n", name, ms);
}

void measureCommands(const QString &path)
{
    QTemporaryDir dir;
    const QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/../cli/tessaly-cli");
    const QString output = dir.filePath(QStringLiteral("out.xml"));
    std::printf("side by side, median of %d runs:\n", kRepeats);
    printCommand("tessaly-cli convert", commandMs(cli, {QStringLiteral("convert"), path, QStringLiteral("-o"), output}));
    const double documentMb = double(QFileInfo(output).size()) / (1024 * 1024);
#ifdef Q_OS_UNIX
    // Only tessaly-cli has run as a child so far: the largest child's peak is its own.
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("  tessaly-cli peak memory          %9.1f MB for a %.1f MB document\n",
                double(usage.ru_maxrss) / 1024, documentMb);
#endif
    printCommand("catdoc xls2csv", commandMs(QStringLiteral("xls2csv"), {path}, QStringLiteral("/dev/null")));
    printCommand("xlrd script", commandMs(QStringLiteral("/usr/bin/python3"),
                                          {QStringLiteral(TESSALY_BENCH_SOURCE "/xlrd_to_xml.py"), path,
                                           dir.filePath(QStringLiteral("xlrd.xml"))}));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString path = app.arguments().value(1, bench::bigWorkbookPath());
    if (path.isEmpty())
        return 1;
    // The commands first: a child forked later would count this process's large pages as its own.
    measureCommands(path);
    measureInProcess(path);
    return 0;
}
