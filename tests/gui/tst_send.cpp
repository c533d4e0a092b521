#include "gui/dialogs/StatusDetailsDialog.h"
#include "core/send/Transfer.h"

#include "tests/common/RunningWindow.h"
#include "tests/common/TempWorkDir.h"
#include "tests/core/send/ServletStandIn.h"
#include "tests/gui/ModalDialog.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

using namespace tessaly;

namespace {

const QString kSent = QStringLiteral("データをサーバに送信しました。");

struct SendingWindow : RunningWindow {
    void configure(const QString &url)
    {
        Settings settings = window.settings();
        settings.url = url;
        window.setSettings(settings);
    }
    void press(const char *button) { QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton); }
};

QJsonArray formFields(const QString &answer)
{
    return QJsonDocument::fromJson(answer.toUtf8()).object().value(u"fields").toArray();
}

} // namespace

class TestSend : public QObject {
    Q_OBJECT

    ServletStandIn m_servlet;

private slots:
    void initTestCase() { QVERIFY(m_servlet.isRunning()); }

    // After a cancelled send the next one goes out: the document shown and the trimmed table name.
    void secondPressOffersToCancel()
    {
        TempWorkDir dir;
        SendingWindow running;
        running.configure(m_servlet.url(QStringLiteral("/silent")));
        const qsizetype before = m_servlet.requests().size();
        running.press("sendButton");
        QTRY_COMPARE(m_servlet.requests().mid(before), QStringList{u"POST /silent auth=no"_qs});
        running.press("sendButton"); // answered No
        QCOMPARE(running.prompter.shown.last().text, QStringLiteral("送信を中止しますか？"));
        QCOMPARE(running.window.statusText(),
                 QStringLiteral("前の送信がまだ終わっていません。サーバの応答が表示されてから送信して下さい。"));
        running.prompter.answers.enqueue(MessageAnswer::Yes);
        running.press("sendButton");
        QTRY_COMPARE(running.window.statusText(), QStringLiteral("エラー12017:送信を中止しました。"));

        running.configure(m_servlet.url(QStringLiteral("/insert")));
        const QString document =
            QStringLiteral("<?xml version=\"1.0\"?>\r\n<ROWSET>\r\n<氏名>ｶﾀｶﾅ &amp; 漢字 a+b=100%</氏名>\r\n</ROWSET>\r\n");
        running.child<DocumentView>("documentView")->setText(document);
        running.table()->setText(QStringLiteral(" 社員 "));
        running.press("sendButton");
        QCOMPARE(running.window.statusText(), kSent);
        QTRY_COMPARE(formFields(running.window.statusText()),
                     (QJsonArray{QJsonArray{u"command"_qs, u"insert"_qs}, QJsonArray{u"tabName"_qs, u"社員"_qs},
                                 QJsonArray{u"xmlText"_qs, document}}));
    }

    void detailsShowASnapshotOfTheWholeAnswer()
    {
        TempWorkDir dir;
        SendingWindow running;
        running.configure(m_servlet.url(QStringLiteral("/chunks")));
        running.press("sendButton");

        // The answer arrives while the dialog is open: the dialog keeps what it copied.
        whenModal<StatusDetailsDialog>([&](StatusDetailsDialog &dialog) {
            auto *area = field<QPlainTextEdit>(dialog, "statusTextEdit");
            QCOMPARE(area->toPlainText(), kSent);
            QVERIFY(QTest::qWaitFor([&] { return running.window.statusText() != kSent; }));
            QTest::keyClicks(area, QStringLiteral(" edited"));
            QCOMPARE(area->toPlainText(), QStringLiteral(" edited") + kSent);
            field<QPushButton>(dialog, "closeButton")->click();
        });
        running.press("detailsButton");

        // The edits are gone; the area keeps line breaks as single line feeds.
        whenModal<StatusDetailsDialog>([&](StatusDetailsDialog &dialog) {
            auto *area = field<QPlainTextEdit>(dialog, "statusTextEdit");
            QCOMPARE(area->toPlainText(), running.window.statusText().replace(u"\r\n"_qs, u"\n"_qs));
            QVERIFY(area->toPlainText().endsWith(QStringLiteral("行299:あいうえおｱｲｳｴｵ\n")));
            QVERIFY(area->verticalScrollBar()->maximum() > 0);
            field<QPushButton>(dialog, "closeButton")->click();
        });
        running.press("detailsButton");
    }
};

QTEST_MAIN(TestSend)
#include "tst_send.moc"
