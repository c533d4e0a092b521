#include "core/document/XmlDocument.h"
#include "gui/dialogs/StatusDetailsDialog.h"

#include "tests/common/BiffStream.h"
#include "tests/common/Fixtures.h"
#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"
#include "tests/core/send/ServletStandIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QStringEncoder>
#include <QPushButton>

using namespace tessaly;

const QString kErrorTitle = QStringLiteral("エラーメッセージ");
const QString kSent = QStringLiteral("データをサーバに送信しました。");
const QStringList kFixtureSheets{QStringLiteral("社員"), QStringLiteral("Types"), QStringLiteral("Hidden"),
                                 QStringLiteral("HeaderOnly"), QStringLiteral("Empty")};

// A bare BIFF8 stream of one worksheet: a heading row of short names (LABEL records), then
// `records` rows of `columns` small whole numbers, one MULRK record a row. Large enough, it takes
// the window more than a moment to read, while its document stays small for its cells.
static QByteArray numberSheet(quint16 columns, quint16 records)
{
    BiffStream stream;
    stream.record(0x0809, bof(0x0600, 0x0005))
        .record(0x00E0, QByteArray(20, '\0')) // one cell format
        .boundSheet(QByteArray("\x05\0Sheet", 7))
        .record(0x000A, {})
        .sheetStartsHere()
        .record(0x0809, bof(0x0600, 0x0010));
    for (quint16 column = 0; column < columns; ++column)
        stream.record(0x0204, cell(0, column, 0) + text8('c' + QByteArray::number(column)));
    for (quint32 row = 1; row <= records; ++row) {
        QByteArray numbers = u16(quint16(row)) + u16(0);
        for (quint16 column = 0; column < columns; ++column)
            numbers += u16(0) + rkInteger(qint32(row + column) % 100);
        stream.record(0x00BD, numbers + u16(columns - 1));
    }
    stream.record(0x000A, {});
    return stream.bytes;
}

// Sets the server's address and presses the send button.
static void sendTo(RunningWindow &running, const QString &url)
{
    Settings settings = running.window.settings();
    settings.url = url;
    running.window.setSettings(settings);
    QTest::mouseClick(running.child<QPushButton>("sendButton"), Qt::LeftButton);
}

// The window's work: opening a workbook, converting a sheet, saving and sending its document.
class TestWorkbookFlow : public QObject {
    Q_OBJECT

    ServletStandIn m_servlet;

private slots:
    void initTestCase() { QVERIFY(m_servlet.isRunning()); }

    void cancelledStartupLeavesAnEmptyWindow()
    {
        TempWorkDir dir;
        RunningWindow running;
        QCOMPARE(running.startupMessages.first().title, kErrorTitle);
        QVERIFY(!running.window.settingsChanged());

        // Without a workbook the save command only asks for one.
        running.trigger("saveAction");
        QCOMPARE(running.window.statusText(), QStringLiteral("Excelファイルを開いて下さい。"));
        QCOMPARE(running.prompter.fileDialogs.size(), 1);

        // A later cancel is no error and changes nothing.
        running.trigger("openAction");
        QCOMPARE(running.prompter.titles(), QStringList());
        QCOMPARE(running.sheetNames(), QStringList());
    }

    // `tessaly WORKBOOK` opens it without the dialog; one that cannot be opened is reported and the
    // dialog follows. A workbook dropped on the window, or on the table name, opens as "開く" would.
    void workbookOpensFromTheCommandLineAndByADrop()
    {
        TempWorkDir dir;
        RunningWindow missing(fixture("fixtures-biff8.xls"), dir.filePath(QStringLiteral("missing.xls")));
        QCOMPARE(missing.startupMessages.size(), 1);
        QCOMPARE(missing.prompter.fileDialogs.size(), 1);
        RunningWindow running(std::nullopt, fixture("fixtures-biff8.xls"));
        QCOMPARE(running.prompter.fileDialogs.size(), 0);
        QCOMPARE(running.sheetNames(), kFixtureSheets);

        running.window.setStatusText(QStringLiteral("前の応答"));
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(fixture("fixtures-biff8.xls"))});
        mime.setText(fixture("fixtures-biff8.xls")); // as file managers offer it
        // Delivered as the window system does: to the window, at the point under the mouse.
        for (QWidget *target : {running.child<QWidget>("documentView"), static_cast<QWidget *>(running.table())}) {
            running.sheetList()->clear();
            const QPoint point = target->mapTo(&running.window, target->rect().center());
            QDragEnterEvent enter(point, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(running.window.windowHandle(), &enter);
            QDropEvent drop(point, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(running.window.windowHandle(), &drop);
            QCOMPARE(running.sheetNames(), kFixtureSheets);
        }
        QCOMPARE(running.window.statusText(), QString());
        QCOMPARE(running.table()->text(), QStringLiteral("EMP"));
        QCOMPARE(running.prompter.shown.size(), 0);
    }

    void opensReplaceTheWorkbookOnlyOnSuccess()
    {
        TempWorkDir dir;
        RunningWindow running(fixture("fixtures-biff8.xls"));
        QCOMPARE(running.startupMessages.size(), 0);
        QCOMPARE(running.sheetNames(), kFixtureSheets);
        QVERIFY(running.document().startsWith(
            QStringLiteral("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\r\n<ROWSET>\r\n<ROW>\r\n<社員番号>1</社員番号>")));
        // Choosing another worksheet converts it.
        running.sheetList()->setCurrentRow(2);
        QVERIFY(running.document().contains(QStringLiteral("<Key>secret</Key>")));

        running.prompter.files.enqueue(fixture("dates1904-biff5.xls"));
        running.trigger("openAction");
        QCOMPARE(running.prompter.titles(), QStringList());
        QVERIFY(running.sheetNames() != kFixtureSheets);
        QVERIFY(running.document().contains(QStringLiteral("<ROW>")));

        // A failed open, and a cancel after it, keep the workbook, the worksheet chosen and its
        // document.
        running.prompter.files.enqueue(fixture("fixtures-biff5-ja.xls"));
        running.trigger("openAction");
        QCOMPARE(running.window.windowTitle(), QStringLiteral("Tessaly - fixtures-biff5-ja.xls"));
        running.sheetList()->setCurrentRow(3);
        const QString chosenDocument = running.document();
        running.prompter.files.enqueue(fixture("fixtures.gnumeric"));
        running.child<QPushButton>("openButton")->click();
        QCOMPARE(running.prompter.titles(), QStringList{kErrorTitle});
        running.prompter.shown.clear();
        running.trigger("openAction");
        QCOMPARE(running.prompter.shown.size(), 0);
        QCOMPARE(running.sheetNames(), kFixtureSheets);
        QCOMPARE(running.sheetList()->currentRow(), 3);
        QCOMPARE(running.document(), chosenDocument);
        QCOMPARE(running.window.windowTitle(), QStringLiteral("Tessaly - fixtures-biff5-ja.xls"));
        // The first filter shows every kind of workbook.
        const QString firstFilter = running.prompter.fileDialogs.last().filter.section(u";;"_qs, 0, 0);
        for (const char *pattern : {"*.xls", "*.xlsx", "*.xlsm", "*.ods"})
            QVERIFY(firstFilter.contains(QLatin1String(pattern)));

        // The workbooks opened, newest first, without the ones that failed; an entry opens its book.
        const QList<QAction *> recent = running.child<QMenu>("recentMenu")->actions();
        QCOMPARE(recent.size(), 3);
        QVERIFY(recent[0]->text().endsWith(u"fixtures-biff5-ja.xls"_qs));
        recent[1]->trigger();
        QCOMPARE(running.window.windowTitle(), QStringLiteral("Tessaly - dates1904-biff5.xls"));
    }

    // A sheet that takes a while: the window shows the rows converted of the sheet's rows, with
    // the wait cursor and the controls that would start other work disabled, and frees them at the
    // end. (The bar shows at once here, so that a fast machine shows it too.)
    void largeSheetShowsProgress()
    {
        TempWorkDir dir;
        dir.write(QStringLiteral("large.xls"), numberSheet(64, 65535));
        RunningWindow running;
        running.window.setProgressDelay(std::chrono::milliseconds(0));
        auto *bar = running.child<QProgressBar>("progressBar");
        auto *send = running.child<QPushButton>("sendButton");
        QList<QPair<int, int>> shown; // value and maximum
        bool waitCursor = false;
        bool sendDisabled = false;
        connect(bar, &QProgressBar::valueChanged, [&](int value) {
            shown.append({value, bar->maximum()});
            waitCursor = waitCursor || QApplication::overrideCursor();
            sendDisabled = sendDisabled || !send->isEnabled();
        });
        running.prompter.files.enqueue(dir.filePath(QStringLiteral("large.xls")));
        running.trigger("openAction");
        QVERIFY(!shown.isEmpty());
        QCOMPARE(shown.last(), (QPair<int, int>{65535, 65535})); // the records below the heading
        QVERIFY(waitCursor);
        QVERIFY(sendDisabled);
        QVERIFY(send->isEnabled());
        QVERIFY(running.sheetList()->isEnabled());
        QVERIFY(!bar->isVisible());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(running.document().endsWith(QStringLiteral("</ROWSET>\r\n")));
    }

    // The proposal is the workbook's name ending in .xml, never the workbook itself; failures are reported.
    void saveProposesAnXmlNameAndWritesTheDeclaredCharset()
    {
        TempWorkDir dir;
        QFile::copy(fixture("fixtures-biff8.xls"), dir.filePath(QStringLiteral("BOOK.XLS")));
        RunningWindow running(dir.filePath(QStringLiteral("BOOK.XLS")));

        const QString target = dir.filePath(QStringLiteral("saved.xml"));
        running.prompter.files.enqueue(target);
        running.trigger("saveAction");
        QCOMPARE(running.prompter.fileDialogs.last().fileName, dir.filePath(QStringLiteral("BOOK.xml")));
        QCOMPARE(dir.read(u"saved.xml"_qs),
                 QByteArray(QStringEncoder("Shift_JIS").encode(running.document() + QStringLiteral("\r\n"))));
        QCOMPARE(running.window.statusText(), QStringLiteral("「saved.xml」に保存しました。"));

        // The next save proposes the name just saved; a cancel is reported and writes nothing, and
        // so is a save that fails. The open dialog does not start where nothing could be written.
        running.trigger("saveAction");
        QCOMPARE(running.prompter.fileDialogs.last().fileName, target);
        QCOMPARE(running.prompter.titles(), QStringList{kErrorTitle});
        running.prompter.files.enqueue(dir.filePath(QStringLiteral("missing/out.xml")));
        running.trigger("saveAction");
        QCOMPARE(running.prompter.titles(), (QStringList{kErrorTitle, kErrorTitle}));
        running.trigger("openAction");
        QCOMPARE(QFileInfo(running.prompter.fileDialogs.last().fileName).path(), dir.path());

        QFile::copy(fixture("fixtures.xlsx"), dir.filePath(QStringLiteral("book")));
        RunningWindow bare(dir.filePath(QStringLiteral("book")));
        bare.trigger("saveAction");
        QCOMPARE(bare.prompter.fileDialogs.last().fileName, dir.filePath(QStringLiteral("book.xml")));
    }

    // --version and --help answer also in a terminal without a display, --help in Japanese like
    // the rest; two workbooks are refused.
    void programOptions()
    {
        qunsetenv("QT_QPA_PLATFORM"); // this test's own window system is chosen already
        qunsetenv("DISPLAY");
        QProcess program;
        program.start(QStringLiteral(TESSALY_APP), {QStringLiteral("--version")});
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.readAllStandardOutput(), QByteArray("tessaly " TESSALY_VERSION "\n"));
        program.start(QStringLiteral(TESSALY_APP), {QStringLiteral("--help")});
        QVERIFY(program.waitForFinished());
        const QString help = QString::fromUtf8(program.readAllStandardOutput());
        QVERIFY2(help.contains(QStringLiteral("コマンドラインのオプションの説明を表示します。")), qPrintable(help));
        const QStringList twoBooks{QStringLiteral("a.xls"), QStringLiteral("b.xls")};
        QCOMPARE(QProcess::execute(QStringLiteral(TESSALY_APP), twoBooks), 1);
    }

    // A second press and closing ask before a running send is stopped; "いいえ" keeps the send and
    // the window. After a cancelled send the next one goes out: the document shown and the
    // trimmed table name.
    void runningSendStopsOnlyWhenTheUserAgrees()
    {
        TempWorkDir dir;
        RunningWindow running;
        sendTo(running, m_servlet.url(QStringLiteral("/silent")));
        QTRY_VERIFY(m_servlet.requests().contains(u"POST /silent auth=no"_qs));
        const QStringList closeQuestion{QStringLiteral("送信中です。中止して終了しますか？")};
        QCOMPARE(running.close(), closeQuestion);
        QVERIFY(running.window.isVisible());
        QCOMPARE(running.window.statusText(), kSent);
        QPushButton *send = running.child<QPushButton>("sendButton");
        send->click(); // answered No
        QCOMPARE(running.prompter.shown.last().text, QStringLiteral("送信を中止しますか？"));
        QCOMPARE(running.window.statusText(),
                 QStringLiteral("前の送信がまだ終わっていません。サーバの応答が表示されてから送信して下さい。"));
        running.prompter.answers.enqueue(MessageAnswer::Yes);
        send->click();
        QTRY_COMPARE(running.window.statusText(), QStringLiteral("エラー12017:送信を中止しました。"));

        const QString document = QStringLiteral("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\r\n<ROWSET>\r\n<氏名>ｶﾀｶﾅ &amp; "
                                                "漢字 a+b=100%</氏名>\r\n</ROWSET>\r\n");
        running.child<DocumentView>("documentView")->setText(document);
        running.table()->setText(QStringLiteral(" 社員 "));
        sendTo(running, m_servlet.url(QStringLiteral("/insert")));
        QTRY_COMPARE(QJsonDocument::fromJson(running.window.statusText().toUtf8())[u"fields"].toArray(),
                     (QJsonArray{QJsonArray{u"command"_qs, u"insert"_qs}, QJsonArray{u"tabName"_qs, u"社員"_qs},
                                 QJsonArray{u"xmlText"_qs, document}}));

        sendTo(running, m_servlet.url(QStringLiteral("/silent")));
        QTRY_COMPARE(m_servlet.requests().count(u"POST /silent auth=no"_qs), 2);
        running.prompter.answers.enqueue(MessageAnswer::Yes);
        QCOMPARE(running.close(), closeQuestion + QStringList{QStringLiteral("設定を保存しますか？")}); // the table name changed
        QVERIFY(!running.window.isVisible());
        QTRY_COMPARE(running.window.statusText(), QStringLiteral("エラー12017:送信を中止しました。"));
    }

    // Sending the shown document again sends its requestId again, so that a receiver inserts its
    // rows once; a sheet converted anew is a new document.
    void resendsKeepTheDocumentsRequestId()
    {
        TempWorkDir dir;
        RunningWindow running(fixture("fixtures-biff8.xls"));
        const auto sentRequestId = [&] {
            sendTo(running, m_servlet.url(QStringLiteral("/insert")));
            (void)QTest::qWaitFor([&] { return running.window.statusText().startsWith(u'{'); });
            // The fields: command, tabName, requestId, xmlText.
            return QJsonDocument::fromJson(running.window.statusText().toUtf8())[u"fields"][2][1].toString();
        };
        const QString first = sentRequestId();
        QVERIFY(!first.isEmpty());
        QCOMPARE(sentRequestId(), first);
        running.sheetList()->setCurrentRow(1);
        const QString converted = sentRequestId();
        QVERIFY(!converted.isEmpty() && converted != first);
    }

    void detailsShowASnapshotOfTheWholeAnswer()
    {
        TempWorkDir dir;
        RunningWindow running;
        sendTo(running, m_servlet.url(QStringLiteral("/chunks")));

        // The answer arrives while the dialog is open: the dialog keeps what it copied.
        whenModal<StatusDetailsDialog>([&](StatusDetailsDialog &dialog) {
            auto *area = field<QPlainTextEdit>(dialog, "statusTextEdit");
            QCOMPARE(area->toPlainText(), kSent);
            QVERIFY(QTest::qWaitFor([&] { return running.window.statusText() != kSent; }));
            QTest::keyClicks(area, QStringLiteral(" edited"));
            QCOMPARE(area->toPlainText(), QStringLiteral(" edited") + kSent);
            field<QPushButton>(dialog, "closeButton")->click();
        });
        running.child<QPushButton>("detailsButton")->click();

        // The edits are gone; the area keeps line breaks as single line feeds.
        whenModal<StatusDetailsDialog>([&](StatusDetailsDialog &dialog) {
            auto *area = field<QPlainTextEdit>(dialog, "statusTextEdit");
            QCOMPARE(area->toPlainText(), running.window.statusText().replace(u"\r\n"_qs, u"\n"_qs));
            QVERIFY(area->toPlainText().endsWith(QStringLiteral("行299:あいうえおｱｲｳｴｵ\n")));
            field<QPushButton>(dialog, "closeButton")->click();
        });
        running.child<QPushButton>("detailsButton")->click();
    }
};

QTEST_MAIN(TestWorkbookFlow)
#include "tst_workbookflow.moc"
