#include "core/config/ConfigFile.h"

#include "tests/common/CliProcess.h"
#include "tests/common/TempWorkDir.h"
#include "tests/core/send/ServletStandIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTcpServer>
#include <QTest>

using namespace tessaly;

namespace {

const QString kWorkbook = QStringLiteral(TESSALY_TEST_DATA "/xls/fixtures-biff8.xls");

// XMLConfig.xml with the built-in settings but for the servlet URL and the table name.
void configureUrl(const TempWorkDir &dir, const QString &url, const QByteArray &table = "EMP")
{
    QByteArray config = ConfigDocument::defaultText();
    config.replace(Settings{}.url.toUtf8(), url.toUtf8());
    config.replace("<table>EMP</table>", "<table>" + table + "</table>");
    dir.write(kConfigFileName, config);
}

} // namespace

class TestCliSend : public QObject {
    Q_OBJECT

private slots:
    void worksheetReachesTheServletAsConverted()
    {
        ServletStandIn servlet;
        QVERIFY(servlet.isRunning());
        TempWorkDir dir;
        // A blank table name is sent as the default one, as the window does.
        configureUrl(dir, servlet.url(QStringLiteral("/insert")), "   ");

        const CliRun converted = runCli({QStringLiteral("convert"), kWorkbook, QStringLiteral("社員")});
        QCOMPARE(converted.exitCode, 0);
        const CliRun sent = runCli({QStringLiteral("send"), kWorkbook, QStringLiteral("社員")});
        QCOMPARE(sent.exitCode, 0);
        QVERIFY(sent.output.endsWith('\n'));

        QStringDecoder shiftJis("Shift_JIS");
        QString document = shiftJis.decode(converted.output);
        // A saved document ends with one line end more than the document that is sent.
        QVERIFY(document.endsWith(u"\r\n"));
        document.chop(2);
        QVERIFY(document.contains(QStringLiteral("<社員番号>")));
        const QJsonObject answer = QJsonDocument::fromJson(sent.output).object();
        QCOMPARE(answer.value(u"fields").toArray(),
                 (QJsonArray{QJsonArray{u"command"_qs, u"insert"_qs}, QJsonArray{u"tabName"_qs, u"EMP"_qs},
                             QJsonArray{u"xmlText"_qs, document}}));
    }

    void failuresEndNonZeroWithTheStatusLine()
    {
        TempWorkDir dir;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        configureUrl(dir, QStringLiteral("http://127.0.0.1:%1/insert").arg(port));
        const CliRun refused = runCli({QStringLiteral("send"), kWorkbook});
        QCOMPARE(refused.exitCode, 1);
        QCOMPARE(QString::fromUtf8(refused.output),
                 QStringLiteral("エラー12029:サーバに接続できませんでした（接続を拒否されました）。\n"));

        // Every HTTP error status ends non-zero, also with the answer's body shown.
        ServletStandIn servlet;
        configureUrl(dir, servlet.url(QStringLiteral("/auth")));
        const CliRun refusedAuth = runCli({QStringLiteral("send"), kWorkbook});
        QCOMPARE(refusedAuth.exitCode, 1);
        QCOMPARE(QString::fromUtf8(refusedAuth.output), QStringLiteral("認証が必要です\n"));

        const CliRun missingSheet = runCli({QStringLiteral("send"), kWorkbook, QStringLiteral("無い")});
        QCOMPARE(missingSheet.exitCode, 1);
        QVERIFY(missingSheet.output.isEmpty());
        QVERIFY(QString::fromUtf8(missingSheet.errors).contains(QStringLiteral("「無い」")));
    }
};

QTEST_GUILESS_MAIN(TestCliSend)
#include "tst_cli_send.moc"
