#include "core/send/InsertRequest.h"
#include "core/send/Transfer.h"
#include "core/send/TransferStatus.h"

#include "tests/common/Requirements.h"
#include "tests/core/send/ServletStandIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

// A document with what a naive body would lose: escaped ampersands, "+", "%", "=", CR LF,
// Japanese text and half-width katakana.
const QString kDocument = QStringLiteral("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\r\n"
                                         "<ROWSET>\r\n<ROW><名前>山田 &amp; ﾀﾅｶ</名前><式>1+2=3 100% a&amp;b=c</式></ROW>\r\n"
                                         "</ROWSET>\r\n");

// The status line at the end of one transfer.
QString transferLine(Transfer &transfer, const TransferRequest &request)
{
    QSignalSpy finished(&transfer, &Transfer::finished);
    transfer.start(request);
    if (!finished.wait(20000))
        return QStringLiteral("(not finished)");
    return statusLine(finished.first().first().value<TransferResult>());
}

// One send as the send button does it, of a document held in UTF-8 (its body composed while it is
// sent); the status line's final text.
QString sendAndWait(Transfer &transfer, const Settings &settings, const QString &document = kDocument)
{
    const InsertRequest request = buildUtf8InsertRequest(settings, document.toUtf8());
    return request ? transferLine(transfer, *request) : request.failure().message;
}

quint16 closedPort()
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    return closed.serverPort();
}

} // namespace

class TestTransfer : public QObject {
    Q_OBJECT

    ServletStandIn m_servlet;

private slots:
    void initTestCase()
    {
        QVERIFY(m_servlet.isRunning());
        // The system's trust only, but where a test sets these.
        qunsetenv("SSL_CERT_FILE");
        qunsetenv("SSL_CERT_DIR");
    }

    // -1: refused (and no request: no overall limit). The overall limit follows the time-out. A
    // stored file may hold any whole number of seconds, beyond the network dialog's 1 to 999.
    void timeoutRule_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<int>("overallLimit");
        QTest::newRow("whole") << QStringLiteral(" 60 ") << 60 << 600;
        QTest::newRow("tie down to even") << QStringLiteral("2.5") << 2 << 60;
        QTest::newRow("zero from the file: no silence limit") << QStringLiteral("0") << 0 << 600;
        QTest::newRow("rounds to zero") << QStringLiteral("0.4") << 0 << 600;
        QTest::newRow("above the dialog's range") << QStringLiteral("1000") << 1000 << 10000;
        QTest::newRow("rounds above the dialog's range") << QStringLiteral("999.5") << 1000 << 10000;
        QTest::newRow("negative") << QStringLiteral("-1") << -1 << 0;
        QTest::newRow("not a number") << QStringLiteral("60s") << -1 << 0;
        QTest::newRow("beyond an int") << QStringLiteral("3e9") << -1 << 0;
    }
    void timeoutRule()
    {
        QFETCH(QString, text);
        QFETCH(int, seconds);
        QFETCH(int, overallLimit);
        Settings settings;
        settings.timeout = text;
        const InsertRequest request = buildInsertRequest(settings, u"<ROWSET/>");
        QCOMPARE(request ? request->timeoutSeconds : request.failure().message == invalidTimeoutText() ? -1 : -2, seconds);
        QCOMPARE(request ? request->overallLimitSeconds : 0, overallLimit);
    }

    // A table name the form's character set cannot hold is refused; a blank URL before anything.
    void unsendableSettingsAreRefused()
    {
        Settings settings;
        settings.table = QStringLiteral("표");
        QVERIFY(buildInsertRequest(settings, u"<ROWSET/>").failure().message.contains(QStringLiteral("表名「표」")));
        settings.url = QStringLiteral("   ");
        QCOMPARE(buildInsertRequest(settings, u"<ROWSET/>").failure().message, blankUrlStatusText());
    }

    // "icHTTPS" forces TLS; a protocol name that is not exactly one of the three means the default,
    // the URL's scheme, whatever the previous send used.
    void unknownProtocolNamesMeanTheUrlsScheme()
    {
        Transfer transfer;
        Settings settings;
        settings.url = m_servlet.url(QStringLiteral("/insert"));
        settings.protocol = u"icHTTPS"_qs;
        QCOMPARE(sendAndWait(transfer, settings), u"エラー12157:サーバとの暗号化通信（SSL/TLS）を確立できませんでした。"_qs);
        settings.protocol = u"ichttp"_qs;
        QVERIFY(QJsonDocument::fromJson(sendAndWait(transfer, settings).toUtf8()).isObject());
    }

    // The Content-Type names a charset only for the fields of a UTF-16 or UTF-32 document, sent
    // in UTF-8; the stand-in decodes strictly in that charset, else in the declared one.
    void formDecoderRecoversTheFields_data()
    {
        QTest::addColumn<QString>("charset");
        QTest::addColumn<QString>("contentType");
        QTest::newRow("EUC-JP") << u"EUC-JP"_qs << u"application/x-www-form-urlencoded"_qs;
        QTest::newRow("UTF-16") << u"UTF-16"_qs << u"application/x-www-form-urlencoded; charset=UTF-8"_qs;
    }
    void formDecoderRecoversTheFields()
    {
        QFETCH(QString, charset);
        QFETCH(QString, contentType);
        Transfer transfer;
        // The URL is used with the spaces around it; a blank table name is sent as the default one.
        Settings settings;
        settings.url = u"  "_qs + m_servlet.url(QStringLiteral("/insert")) + u' ';
        settings.charset = charset;
        settings.table = QStringLiteral("   ");
        // Lines longer than a piece of the body: a piece that ends before a line end splits a character.
        const QString document
            = QString(kDocument).replace(u"Shift_JIS"_qs, charset).replace(u"山田"_qs, QString(40000, u'山')).repeated(2);
        const QJsonObject answer = QJsonDocument::fromJson(sendAndWait(transfer, settings, document).toUtf8()).object();
        QCOMPARE(answer.value(u"contentType").toString(), contentType);
        const QJsonArray expected{QJsonArray{u"command"_qs, u"insert"_qs}, QJsonArray{u"tabName"_qs, u"EMP"_qs},
                                  QJsonArray{u"xmlText"_qs, document}};
        QCOMPARE(answer.value(u"fields").toArray(), expected);
    }

    // Credentials go first when the server asks, in UTF-8 when it asks for that (RFC 7617); once
    // accepted, at once with the next send to that origin; never to another origin ("localhost").
    void credentialsGoOnlyToTheUrlsOrigin()
    {
        Transfer transfer;
        Settings settings;
        settings.url = m_servlet.url(QStringLiteral("/auth"));
        settings.user = QStringLiteral(" scott ");
        settings.password = QStringLiteral(" tiger ");
        qsizetype before = m_servlet.requests().size();
        QCOMPARE(sendAndWait(transfer, settings), QStringLiteral("認証OK"));
        const QStringList challengedFirst{u"POST /auth auth=no"_qs, u"POST /auth auth=yes"_qs};
        QTRY_COMPARE(m_servlet.requests().mid(before), challengedFirst);
        before = m_servlet.requests().size();
        QCOMPARE(sendAndWait(transfer, settings), QStringLiteral("認証OK"));
        QTRY_COMPARE(m_servlet.requests().mid(before), QStringList{u"POST /auth auth=yes"_qs});

        Settings elsewhere = settings;
        elsewhere.url = u"http://localhost:%1/auth"_qs.arg(m_servlet.port());
        before = m_servlet.requests().size();
        QCOMPARE(sendAndWait(transfer, elsewhere), QStringLiteral("認証OK"));
        QTRY_COMPARE(m_servlet.requests().mid(before), challengedFirst);

        Settings japanese = settings;
        japanese.url = m_servlet.url(QStringLiteral("/auth-utf8"));
        japanese.user = QStringLiteral("山田");
        japanese.password = QStringLiteral("秘密");
        QCOMPARE(sendAndWait(transfer, japanese), QStringLiteral("認証OK"));

        settings.url = m_servlet.url(QStringLiteral("/redirect/307/localhost/auth"));
        before = m_servlet.requests().size();
        QCOMPARE(sendAndWait(transfer, settings), u"エラー12156:サーバが別の場所へ転送しようとしたため送信を中止しました（307 "
                                                  "http://localhost:%1/auth）。"_qs.arg(m_servlet.port()));
        QTRY_COMPARE(m_servlet.requests().mid(before), QStringList{u"POST /redirect/307/localhost/auth auth=no"_qs});
    }

    // A private CA that SSL_CERT_FILE or SSL_CERT_DIR names is trusted besides the system's.
    void privateCaFromTheEnvironmentIsTrusted()
    {
        QTemporaryDir dir;
        const auto path = [&](const char *name) { return dir.filePath(QLatin1String(name)); };
        if (!makeCertificates(dir.path()))
            MISSING("openssl could not make the certificates");
        ServletStandIn secure({QStringLiteral("/usr/bin/python3"), QStringLiteral(TESSALY_SERVLET_STANDIN), path("server.pem"),
                               path("server.key")});
        QVERIFY(secure.isRunning());
        TransferRequest request = buildInsertRequest(Settings{}, kDocument).value();
        request.url = u"https://127.0.0.1:%1/error-empty"_qs.arg(secure.port());
        const auto answered = [&](const char *variable, const QString &value) {
            qputenv(variable, value.toLocal8Bit());
            const auto unset = qScopeGuard([variable] { qunsetenv(variable); });
            Transfer transfer;
            return transferLine(transfer, request);
        };
        QCOMPARE(answered("SSL_CERT_FILE", {}), u"エラー12157:サーバとの暗号化通信（SSL/TLS）を確立できませんでした。"_qs);
        QCOMPARE(answered("SSL_CERT_FILE", path("ca/ca.pem")), u"エラー400:Bad Request"_qs);
        QCOMPARE(answered("SSL_CERT_DIR", path("ca")), u"エラー400:Bad Request"_qs);
    }

    // The overall limit waits for the answer only: an upload that keeps moving is never cut by it.
    // It starts once the system has taken the whole body, which then drains from the socket's
    // buffer (a few MB) well within the limit.
    void overallLimitSparesAMovingUpload()
    {
        TransferRequest request = buildInsertRequest(Settings{}, kDocument).value();
        request.url = m_servlet.url(QStringLiteral("/slow-upload"));
        request.body = QByteArray(32 << 20, 'x'); // over five seconds at the stand-in's pace
        request.timeoutSeconds = 3;
        request.overallLimitSeconds = 3;
        Transfer transfer;
        QCOMPARE(transferLine(transfer, request), QStringLiteral("uploaded"));
    }

    // Every failure ends in one of the program's codes with its own text; every answer is shown
    // decoded. The silence limit is one second, the overall limit three.
    void statusLineForEachServer_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("proxy");
        QTest::addColumn<QString>("line");
        const QString origin = m_servlet.url({});
        QTest::newRow("silent") << origin + u"/silent"_qs << QString()
                                << u"エラー12002:サーバから1秒間応答がなかったため、送信を打ち切りました。"_qs;
        // A byte every 0.2 s keeps the silence limit from ending it.
        QTest::newRow("trickle") << origin + u"/trickle"_qs << QString()
                                 << u"エラー12002:3秒以内に送信が終わらなかったため中止しました。"_qs;
        QTest::newRow("error status, empty body") << origin + u"/error-empty"_qs << QString() << u"エラー400:Bad Request"_qs;
        QTest::newRow("refused") << u"http://127.0.0.1:%1/insert"_qs.arg(closedPort()) << QString()
                                 << u"エラー12029:サーバに接続できませんでした（接続を拒否されました）。"_qs;
        QTest::newRow("password in an unusable URL") << u"http://scott:tiger@/insert"_qs << QString()
                                                     << u"エラー12005:URL「http://scott:****@/insert」が正しくありません。"_qs;
        QTest::newRow("POST turned into GET")
            << origin + u"/redirect/302/127.0.0.1/insert"_qs << QString()
            << u"エラー12156:サーバが別の場所へ転送しようとしたため送信を中止しました（302 %1/insert）。"_qs.arg(origin);
        // The same host on another port or scheme is another origin.
        for (const QString &target : {u"http://127.0.0.1:%1/insert"_qs.arg(closedPort()),
                                      QString(origin).replace(u"http:"_qs, u"https:"_qs) + u"/insert"_qs})
            QTest::addRow("307 to %s", qPrintable(target))
                << m_servlet.url(u"/redirect-to/"_qs) + target << QString()
                << u"エラー12156:サーバが別の場所へ転送しようとしたため送信を中止しました（307 %1）。"_qs.arg(target);
        QTest::newRow("redirect loop") << origin + u"/loop"_qs << QString()
                                       << u"エラー12156:サーバの転送が繰り返されたため送信を中止しました。"_qs;
        QTest::newRow("undecompressable") << origin + u"/gzip-broken"_qs << QString()
                                          << u"エラー12175:サーバの応答を展開できませんでした。"_qs;
        QTest::newRow("proxy refused") << origin + u"/insert"_qs << u"127.0.0.1:%1"_qs.arg(closedPort())
                                       << u"エラー12165:プロキシサーバに接続できませんでした。"_qs;
        for (const QString &proxy : {u"127.0.0.1:%1"_qs, u"http://127.0.0.1:%1"_qs})
            QTest::newRow("proxy") << u"http://tessaly.invalid/insert"_qs << proxy.arg(m_servlet.port())
                                   << u"proxied http://tessaly.invalid/insert"_qs;
        // Neither named nor UTF-8: read in the character set of the settings.
        QTest::newRow("undeclared Shift_JIS") << origin + u"/undeclared"_qs << QString() << u"登録しました。ｶﾅ"_qs;
        QTest::newRow("declared EUC-JP") << origin + u"/error-body"_qs << QString() << u"データベースエラー：ORA-00942"_qs;
        QTest::newRow("endless") << origin + u"/endless"_qs << QString()
                                 << QString(Transfer::kAnswerLimit, u'x')
                                        + u"\n（応答が大きすぎるため、先頭の1048576バイトだけを表示しています。）"_qs;
    }
    void statusLineForEachServer()
    {
        QFETCH(QString, url);
        QFETCH(QString, proxy);
        QFETCH(QString, line);
        TransferRequest request = buildInsertRequest(Settings{}, kDocument).value();
        request.url = url;
        request.proxy = proxy;
        request.timeoutSeconds = 1;
        request.overallLimitSeconds = 3;
        Transfer transfer;
        QCOMPARE(transferLine(transfer, request), line);
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
