// The window's peak memory for each piece of work on the widest cached sheet (65,536 x 256), or on
// the workbook named, one piece of work per process, offscreen:
//   show  opening the workbook, reading and showing its first worksheet;
//   save  then saving the document (in the default Shift_JIS);
//   send  then sending it to a server on 127.0.0.1 that reads the request and answers;
//   copy  then "すべて選択" and "コピー"; paste also reads the clipboard back as text.
// Prints the document's UTF-8 size and the process's peak resident memory (VmHWM) against it:
// over the whole run, and for the piece of work alone (the peak is reset after showing).
//   tessaly-bench-window show|save|send|copy|paste [WORKBOOK]
#include "bench/BigWorkbook.h"
#include "gui/DocumentView.h"
#include "gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace tessaly;

namespace {

// Answers every question with its first button and every file dialog with `file`.
class FixedPrompter final : public Prompter {
public:
    QString file;
    MessageAnswer ask(QWidget *, const MessageRequest &request) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(request.text));
        return request.buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    }
    std::optional<QString> chooseFile(QWidget *, const FileDialogRequest &) override { return file; }
};

double peakMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    }
    return -1;
}

void resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

// Reads each request whole and answers it, keeping none of it.
class DiscardingServer : public QTcpServer {
public:
    DiscardingServer() { listen(QHostAddress::LocalHost); }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::readyRead, socket, [socket, headerDone = false, remaining = qint64(0)]() mutable {
            while (!headerDone && socket->canReadLine()) {
                const QByteArray line = socket->readLine();
                if (line.toLower().startsWith("content-length:"))
                    remaining = line.mid(15).trimmed().toLongLong();
                headerDone = line == "\r\n";
            }
            if (!headerDone)
                return;
            remaining -= socket->read(socket->bytesAvailable()).size();
            if (remaining == 0) {
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
                socket->disconnectFromHost();
            }
        });
    }
};

void waitFor(const std::function<bool()> &done)
{
    while (!done())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true); // the recent workbooks are not the user's
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty() || arguments.size() > 2) {
        std::fprintf(stderr, "usage: tessaly-bench-window show|save|send|copy|paste [WORKBOOK]\n");
        return 2;
    }
    const QString work = arguments.first();
    const QString workbook = arguments.size() == 2 ? arguments.last() : bench::bigWorkbookPath(256);
    if (workbook.isEmpty())
        return 1;
    QTemporaryDir dir;
    FixedPrompter prompter;
    prompter.file = dir.filePath(QStringLiteral("out.xml"));
    MainWindow window(prompter);
    window.show();
    window.start(workbook);
    auto *view = window.findChild<DocumentView *>(QStringLiteral("documentView"));
    waitFor([&] { return view->isVisible(); });
    const double documentMb = double(view->utf8().size()) / (1 << 20);
    const double showPeak = peakMb();
    resetPeak();

    if (work == u"save") {
        window.findChild<QAction *>(QStringLiteral("saveAction"))->trigger();
    } else if (work == u"send") {
        DiscardingServer server;
        Settings settings = window.settings();
        settings.url = QStringLiteral("http://127.0.0.1:%1/insert").arg(server.serverPort());
        settings.timeout = QStringLiteral("0");
        window.setSettings(settings);
        window.findChild<QPushButton *>(QStringLiteral("sendButton"))->click();
        const QString sending = window.statusText();
        waitFor([&] { return window.statusText() != sending; });
        std::fprintf(stderr, "status: %s\n", qPrintable(window.statusText().left(80)));
    } else if (work == u"copy" || work == u"paste") {
        view->selectAll();
        view->copy();
        if (work == u"paste")
            std::fprintf(stderr, "pasted %lld characters\n", qlonglong(QApplication::clipboard()->text().size()));
    } else if (work != u"show") {
        std::fprintf(stderr, "unknown work %s\n", qPrintable(work));
        return 2;
    }
    const double workPeak = peakMb();
    const double overall = std::max(showPeak, workPeak);
    std::printf("%-5s document %.1f MB; peak %.1f MB = %.2f x the document; the %s alone %.1f MB = %.2f x\n", qPrintable(work),
                documentMb, overall, overall / documentMb, qPrintable(work), workPeak, workPeak / documentMb);
    window.setSettingsChanged(false);
    return 0;
}
