#include "gui/dialogs/StatusDetailsDialog.h"

#include "tests/common/Fixtures.h"
#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"
#include "tests/core/send/ServletStandIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace tessaly;

const QString kSent = QStringLiteral("データをサーバに送信しました。");

// Sets the server's address and presses the send button.
static void sendTo(RunningWindow &running, const QString &url)
{
    Settings settings = running.window.settings();
    settings.url = url;
    running.window.setSettings(settings);
    QTest::mouseClick(running.child<QPushButton>("sendButton"), Qt::LeftButton);
}

class TestSend : public QObject {
    Q_OBJECT

    ServletStandIn m_servlet;

private slots:
    void initTestCase() { QVERIFY(m_servlet.isRunning()); }

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

QTEST_MAIN(TestSend)
#include "tst_send.moc"
