#include "core/send/InsertRequest.h"
#include "core/send/Transfer.h"
#include "core/send/TransferStatus.h"

#include "tests/core/send/ServletStandIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace tessaly;

namespace {

// A document with what a naive body would lose: escaped ampersands, "+", "%", "=", CR LF,
// Japanese text and half-width katakana.
const QString kDocument = QStringLiteral("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\r\n"
                                         "<ROWSET>\r\n<ROW><名前>山田 &amp; ﾀﾅｶ</名前><式>1+2=3 100% a&amp;b=c</式></ROW>\r\n"
                                         "</ROWSET>\r\n");

Settings settingsFor(const QString &url)
{
    Settings settings;
    settings.url = url;
    settings.timeout = QStringLiteral("10");
    return settings;
}

// One send through the component, as the send button does it; the status line's final text.
QString sendAndWait(Transfer &transfer, const Settings &settings, const QString &document = kDocument)
{
    QSignalSpy finished(&transfer, &Transfer::finished);
    const QString started = sendInsert(transfer, settings, document);
    if (started != sentStatusText())
        return started;
    if (!finished.wait(10000))
        return QStringLiteral("(not finished)");
    return statusLine(finished.first().first().value<TransferResult>());
}

QString errorLine(int code, const QString &info)
{
    return QStringLiteral("エラー%1:%2").arg(code).arg(info);
}

} // namespace

class TestTransfer : public QObject {
    Q_OBJECT

    ServletStandIn m_servlet;

private slots:
    void initTestCase() { QVERIFY(m_servlet.isRunning()); }

    void formDecoderRecoversTheFields_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::newRow("Shift_JIS") << QStringLiteral("Shift_JIS");
        QTest::newRow("UTF-8") << QStringLiteral("UTF-8");
        QTest::newRow("EUC-JP") << QStringLiteral("EUC-JP");
    }
    void formDecoderRecoversTheFields()
    {
        QFETCH(QString, charset);
        Transfer transfer;
        Settings settings = settingsFor(m_servlet.url(QStringLiteral("/insert")));
        settings.charset = charset;
        settings.table = QStringLiteral("  社員+給与 ");
        const QJsonObject answer = QJsonDocument::fromJson(sendAndWait(transfer, settings).toUtf8()).object();
        QCOMPARE(answer.value(u"contentType").toString(),
                 QStringLiteral("application/x-www-form-urlencoded; charset=") + charset);
        const QJsonArray expected{QJsonArray{u"command"_qs, u"insert"_qs}, QJsonArray{u"tabName"_qs, u"社員+給与"_qs},
                                  QJsonArray{u"xmlText"_qs, kDocument}};
        QCOMPARE(answer.value(u"fields").toArray(), expected);
    }

    void credentialsAreOfferedOnlyWhenAsked()
    {
        Transfer transfer;
        Settings settings = settingsFor(m_servlet.url(QStringLiteral("/auth")));
        settings.user = QStringLiteral(" scott ");
        settings.password = QStringLiteral(" tiger ");
        const qsizetype before = m_servlet.requests().size();
        QCOMPARE(sendAndWait(transfer, settings), QStringLiteral("認証OK"));
        QTRY_COMPARE(m_servlet.requests().mid(before),
                     (QStringList{u"POST /auth auth=no"_qs, u"POST /auth auth=yes"_qs}));

        // Credentials of the earlier send are not reused unasked, and wrong ones are refused
        // once more: the transfer ends with the server's answer.
        settings.password = QStringLiteral("wrong");
        QCOMPARE(sendAndWait(transfer, settings), QStringLiteral("認証が必要です"));
        QTRY_COMPARE(m_servlet.requests().mid(before + 2),
                     (QStringList{u"POST /auth auth=no"_qs, u"POST /auth auth=yes"_qs}));
    }

    void namedProxyCarriesTheRequest_data()
    {
        QTest::addColumn<QString>("proxyFormat");
        QTest::newRow("host:port") << QStringLiteral(" 127.0.0.1:%1 ");
        QTest::newRow("http URL") << QStringLiteral("http://127.0.0.1:%1");
    }
    void namedProxyCarriesTheRequest()
    {
        QFETCH(QString, proxyFormat);
        Transfer transfer;
        Settings settings = settingsFor(QStringLiteral("http://tessaly.invalid/insert"));
        settings.proxy = proxyFormat.arg(m_servlet.port());
        QCOMPARE(sendAndWait(transfer, settings), QStringLiteral("proxied http://tessaly.invalid/insert"));
    }

    void malformedProxyFails()
    {
        Transfer transfer;
        Settings settings = settingsFor(m_servlet.url(QStringLiteral("/insert")));
        settings.proxy = QStringLiteral("socks5://127.0.0.1:1080");
        QVERIFY(sendAndWait(transfer, settings).startsWith(QStringLiteral("エラー%1:").arg(Transfer::kInvalidProxy)));
    }

    void silentServerTimesOut()
    {
        Transfer transfer;
        Settings settings = settingsFor(m_servlet.url(QStringLiteral("/silent")));
        settings.timeout = QStringLiteral("1");
        QCOMPARE(sendAndWait(transfer, settings),
                 errorLine(Transfer::kTimedOut, u"サーバから1秒間応答がなかったため、送信を打ち切りました。"_qs));
        QVERIFY(!transfer.isRunning());
    }

    void refusedConnectionIsDescribed()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        Transfer transfer;
        QCOMPARE(sendAndWait(transfer, settingsFor(QStringLiteral("http://127.0.0.1:%1/insert").arg(port))),
                 errorLine(Transfer::kCannotConnect, u"サーバに接続できませんでした（接続を拒否されました）。"_qs));
    }

    void serverErrorShowsItsBodyOrItsStatus()
    {
        Transfer transfer;
        QCOMPARE(sendAndWait(transfer, settingsFor(m_servlet.url(QStringLiteral("/error-body")))),
                 QStringLiteral("データベースエラー：ORA-00942"));
        QCOMPARE(sendAndWait(transfer, settingsFor(m_servlet.url(QStringLiteral("/error-empty")))),
                 errorLine(500, u"Internal Server Error"_qs));
    }

    void answerIsReadWholeAndDecoded()
    {
        Transfer transfer;
        QString lines;
        for (int i = 0; i < 300; ++i)
            lines += QStringLiteral("行%1:あいうえおｱｲｳｴｵ\r\n").arg(i);
        QCOMPARE(sendAndWait(transfer, settingsFor(m_servlet.url(QStringLiteral("/chunks")))), lines);
        // Neither named nor UTF-8: read in the character set of the settings.
        QCOMPARE(sendAndWait(transfer, settingsFor(m_servlet.url(QStringLiteral("/undeclared")))),
                 QStringLiteral("登録しました。ｶﾅ"));
    }

    void oversizedAnswerIsCutWithANote()
    {
        Transfer transfer;
        const QString text = sendAndWait(transfer, settingsFor(m_servlet.url(QStringLiteral("/large"))));
        QVERIFY(text.startsWith(QString(Transfer::kAnswerLimit, u'x') + u'\n'));
        QVERIFY(text.endsWith(QStringLiteral("（応答が大きすぎるため、先頭の1048576バイトだけを表示しています。）")));
    }

    void httpsStaysInForceForUnknownProtocolNames()
    {
        Transfer transfer;
        Settings settings = settingsFor(m_servlet.url(QStringLiteral("/insert")));
        const QString tlsFailure =
            errorLine(Transfer::kSecureChannelFailed, u"サーバとの暗号化通信（SSL/TLS）を確立できませんでした。"_qs);
        settings.protocol = QStringLiteral("icHTTPS");
        QCOMPARE(sendAndWait(transfer, settings), tlsFailure);
        settings.protocol = QStringLiteral("ichttp");
        QCOMPARE(sendAndWait(transfer, settings), tlsFailure);
        settings.protocol = QStringLiteral("icHTTP");
        QVERIFY(sendAndWait(transfer, settings).contains(u"\"fields\""));
    }

    void urlIsUsedWithItsSpaces()
    {
        Transfer transfer;
        const Settings settings = settingsFor(QStringLiteral("  ") + m_servlet.url(QStringLiteral("/insert")) + u' ');
        QVERIFY(sendAndWait(transfer, settings).contains(u"\"fields\""));
    }

    void refusalsSendNothing()
    {
        Transfer transfer;
        Settings settings = settingsFor(m_servlet.url(QStringLiteral("/insert")));
        settings.timeout = QStringLiteral("abc");
        const qsizetype before = m_servlet.requests().size();
        QVERIFY(sendAndWait(transfer, settings).startsWith(QStringLiteral("タイムアウト「abc」")));
        QVERIFY(!transfer.isRunning());
        QCOMPARE(m_servlet.requests().size(), before);
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
