#include "core/config/ConfigFile.h"

#include "tests/common/CliProcess.h"
#include "tests/common/TempWorkDir.h"
#include "tests/core/send/ServletStandIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QTcpServer>

using namespace tessaly;

namespace {

const QString kWorkbook = QStringLiteral(TESSALY_TEST_DATA "/xls/fixtures-biff8.xls");

// XMLConfig.xml with the built-in settings but for the servlet URL and the table name.
void configure(const TempWorkDir &dir, const QString &url, const QByteArray &table = "EMP")
{
    QByteArray config = ConfigDocument::defaultText();
    config.replace(Settings{}.url.toUtf8(), url.toUtf8());
    config.replace("<table>EMP</table>", "<table>" + table + "</table>");
    dir.write(kConfigFileName, config);
}

} // namespace

class TestCliSend : public QObject {
    Q_OBJECT

    ServletStandIn m_servlet;

private slots:
    void worksheetReachesTheServletAsConverted()
    {
        TempWorkDir dir;
        // A blank table name is sent as the default one, as the window does.
        configure(dir, m_servlet.url(QStringLiteral("/insert")), "   ");
        const CliRun converted = runCli({QStringLiteral("convert"), kWorkbook, QStringLiteral("社員")});
        const CliRun sent = runCli({QStringLiteral("send"), kWorkbook, QStringLiteral("社員")});
        QCOMPARE(sent.exitCode, 0);
        // A saved document ends with one line end more than the document that is sent.
        const QString document = QStringDecoder("Shift_JIS").decode(converted.output.chopped(2));
        QVERIFY(document.contains(QStringLiteral("<社員番号>")));
        QCOMPARE(QJsonDocument::fromJson(sent.output).object().value(u"fields").toArray(),
                 (QJsonArray{QJsonArray{u"command"_qs, u"insert"_qs}, QJsonArray{u"tabName"_qs, u"EMP"_qs},
                             QJsonArray{u"xmlText"_qs, document}}));
    }

    // Every HTTP error status ends non-zero, also with the answer's body shown.
    void failuresEndNonZeroWithTheStatusLine()
    {
        TempWorkDir dir;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        closed.close();
        configure(dir, QStringLiteral("http://127.0.0.1:%1/insert").arg(closed.serverPort()));
        const CliRun refused = runCli({QStringLiteral("send"), kWorkbook});
        QCOMPARE(refused.exitCode, 1);
        QCOMPARE(QString::fromUtf8(refused.output),
                 QStringLiteral("エラー12029:サーバに接続できませんでした（接続を拒否されました）。\n"));

        configure(dir, m_servlet.url(QStringLiteral("/auth")));
        const CliRun refusedAuth = runCli({QStringLiteral("send"), kWorkbook});
        QCOMPARE(refusedAuth.exitCode, 1);
        QCOMPARE(QString::fromUtf8(refusedAuth.output), QStringLiteral("認証が必要です\n"));

        const CliRun missingSheet = runCli({QStringLiteral("send"), kWorkbook, QStringLiteral("無い")});
        QCOMPARE(missingSheet.exitCode, 1);
        QVERIFY(QString::fromUtf8(missingSheet.errors).contains(QStringLiteral("「無い」")));
    }
};

QTEST_GUILESS_MAIN(TestCliSend)
#include "tst_cli_send.moc"
