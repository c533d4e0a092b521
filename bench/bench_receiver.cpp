// Times tessaly-receiver on the 65,536-row x 10-column workbook's document: from the request's
// arrival to the answer (the receiver's log line), tessaly-cli send end to end, and the receiver's
// peak memory, into SQLite and into a private PostgreSQL server; beside csvsql --insert (csvkit)
// on the same rows as CSV.
//   tessaly-bench-receiver [WORKBOOK]   (default: the cached 65,536-row x 10-column BIFF8 workbook)
#include "bench/BigWorkbook.h"
#include "core/config/ConfigFile.h"
#include "core/document/XmlDocument.h"
#include "core/document/XmlName.h"
#include "core/send/InsertRequest.h"
#include "tests/common/PostgresServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tessaly;

namespace {

constexpr int kRuns = 5;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void printLoad()
{
    QProcess uptime;
    uptime.start(QStringLiteral("uptime"));
    uptime.waitForFinished();
    std::printf("load: %s", uptime.readAllStandardOutput().constData());
}

// The rows as csvsql reads them: a heading line, then quoted fields; an empty cell is empty.
void writeCsv(const workbook::SheetTable &table, const QString &path)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QTextStream out(&file);
    const auto field = [](QString text) { return u'"' + text.replace(u'"', QStringLiteral("\"\"")) + u'"'; };
    for (qsizetype column = 0; column < table.columnCount(); ++column)
        out << (column ? "," : "") << field(fromXmlName(columnTagName(table, column)));
    out << '\n';
    std::vector<QStringView> values(std::size_t(table.columnCount()));
    for (qsizetype record = 0; record < table.recordCount(); ++record) {
        table.recordValues(record, values);
        for (std::size_t column = 0; column < values.size(); ++column)
            out << (column ? "," : "") << (values[column].isEmpty() ? QString() : field(values[column].toString()));
        out << '\n';
    }
}

// One receiver, several requests (each into a table of its own, created by the request): the
// log's milliseconds and the send's seconds, and the peak memory over all of them.
void measureReceiver(const char *name, const QString &workbook, const QString &database, qint64 bodySize)
{
    QProcess receiver;
    receiver.setReadChannel(QProcess::StandardError);
    receiver.start(QStringLiteral(TESSALY_RECEIVER), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                                      QStringLiteral("--database"), database, QStringLiteral("--create-tables")});
    static const QRegularExpression started(QStringLiteral("(http://\\S+) で待ち受けています"));
    static const QRegularExpression logged(QStringLiteral(" (\\d+)ms 200$"));
    QString url;
    while (url.isEmpty() && receiver.waitForReadyRead(30000))
        url = started.match(QString::fromUtf8(receiver.readLine())).captured(1);

    std::vector<double> arrival, endToEnd;
    for (int run = 1; run <= kRuns; ++run) {
        Settings settings;
        settings.url = url;
        settings.table = QStringLiteral("bench_%1").arg(QCoreApplication::applicationPid() * 10 + run);
        if (const Outcome saved = ConfigDocument().save(settings, kConfigFileName); !saved)
            qFatal("%s", qPrintable(saved.failure().message));
        QProcess cli;
        QElapsedTimer timer;
        timer.start();
        cli.start(QStringLiteral(TESSALY_CLI), {QStringLiteral("send"), workbook});
        cli.waitForFinished(120000);
        endToEnd.push_back(double(timer.nsecsElapsed()) / 1e9);
        if (run == 1)
            std::printf("%s: answer \"%s\"\n", name, cli.readAllStandardOutput().trimmed().constData());
        QString line;
        while (!logged.match(line).hasMatch() && receiver.waitForReadyRead(10000))
            line = QString::fromUtf8(receiver.readLine()).trimmed();
        arrival.push_back(logged.match(line).captured(1).toDouble());
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(receiver.processId()));
    status.open(QIODevice::ReadOnly);
    static const QRegularExpression peak(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    const double peakMiB = peak.match(QString::fromLatin1(status.readAll())).captured(1).toDouble() / 1024;
    receiver.terminate();
    receiver.waitForFinished();
    std::printf("  arrival to answer (receiver's log)   %8.0f ms   (median of %d; %.0f to %.0f)\n", median(arrival), kRuns,
                *std::min_element(arrival.begin(), arrival.end()), *std::max_element(arrival.begin(), arrival.end()));
    std::printf("  tessaly-cli send, end to end          %8.2f s\n", median(endToEnd));
    std::printf("  receiver's peak memory                %8.1f MiB = %.1f x the body\n", peakMiB,
                peakMiB * 1024 * 1024 / double(bodySize));
}

void measureCsvsql(const char *name, const QString &csvPath, const QString &database)
{
    QProcess csvsql;
    QElapsedTimer timer;
    timer.start();
    csvsql.start(QStringLiteral("csvsql"), {QStringLiteral("--db"), database, QStringLiteral("--insert"),
                                            QStringLiteral("--tables"), QStringLiteral("csv_rows"), csvPath});
    const bool ok = csvsql.waitForFinished(600000) && csvsql.exitStatus() == QProcess::NormalExit && csvsql.exitCode() == 0;
    if (ok)
        std::printf("  csvsql --insert into %-10s         %8.2f s\n", name, double(timer.nsecsElapsed()) / 1e9);
    else
        std::printf("  csvsql --insert into %s failed: %s\n", name, csvsql.readAllStandardError().right(300).constData());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString workbook = argc > 1 ? QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath() : bench::bigWorkbookPath();
    if (workbook.isEmpty())
        return 1;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    const Result<std::unique_ptr<workbook::Workbook>> book = workbook::Workbook::open(workbook);
    const Result<workbook::SheetTable> table = book ? (*book)->readSheet(0) : Result<workbook::SheetTable>(book.failure());
    if (!table) {
        std::fprintf(stderr, "%s\n", qPrintable(table.failure().message));
        return 1;
    }
    const QString document = buildDocument(*table, Settings{});
    Settings settings;
    const qint64 bodySize = buildInsertRequest(settings, document)->body.size();
    std::printf("%s: %lld rows x %lld columns, document %lld characters, body %.1f MB in %s\n", qPrintable(workbook),
                qlonglong(table->recordCount()), qlonglong(table->columnCount()), qlonglong(document.size()), bodySize / 1e6,
                qPrintable(settings.charset));
    const QString csvPath = dir.filePath(QStringLiteral("rows.csv"));
    writeCsv(*table, csvPath);
    printLoad();

    measureReceiver("SQLite", workbook, QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("receiver.sqlite")), bodySize);
    measureCsvsql("SQLite", csvPath, QStringLiteral("sqlite:///") + dir.filePath(QStringLiteral("csvsql.sqlite")));
    PostgresServer postgres;
    if (postgres.isRunning()) {
        measureReceiver("PostgreSQL", workbook, postgres.url(), bodySize);
        measureCsvsql("PostgreSQL", csvPath, postgres.url());
    } else {
        std::printf("PostgreSQL: %s\n", qPrintable(postgres.problem()));
    }
    printLoad();
    return 0;
}
