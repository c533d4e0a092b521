#include "tests/common/PostgresServer.h"
#include "tests/common/TempWorkDir.h"
#include "tests/receiver/ReceiverTest.h"

class TestReceiverPostgresql : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (m_server.isRunning())
            return;
        if (qgetenv("CI") == "true")
            QFAIL(qPrintable(m_server.problem()));
        QSKIP(qPrintable(m_server.problem()));
    }

    void sheetsArriveCellForCell()
    {
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.url(), QStringLiteral("--create-tables")});
        const QString japanese = fixture("fixtures-biff5-ja.xls");
        configureSend(receiver.url(), QStringLiteral("社員"));
        QCOMPARE(QString::fromUtf8(runCli({QStringLiteral("send"), japanese}).output), u"4件の行を挿入しました。\n"_qs);
        configureSend(receiver.url(), QStringLiteral("types"));
        const CliRun types = runCli({QStringLiteral("send"), fixture("fixtures-biff8.xls"), QStringLiteral("Types")});
        QVERIFY2(types.output.endsWith("件の行を挿入しました。\n"), types.output.constData());

        TestDatabase check(QStringLiteral("QPSQL"), QStringLiteral("postgres"), m_server.port());
        compareWithSheet(check.database(), QStringLiteral("社員"), japanese, 0);
        compareWithSheet(check.database(), QStringLiteral("types"), fixture("fixtures-biff8.xls"), 1);
    }

    void refusedValueInsertsNothing()
    {
        TempWorkDir dir;
        TestDatabase check(QStringLiteral("QPSQL"), QStringLiteral("postgres"), m_server.port());
        // Created unquoted, so in lower case; the request names it in upper case.
        QVERIFY(check.exec(u"CREATE TABLE prices (name text, price integer)"_qs));
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.url()});
        const QString rows = u"<R><W><NAME>a\tb\\c</NAME><price>1</price></W><W><NAME>b</NAME><price>two</price></W></R>"_qs;
        const HttpAnswer refused = post(receiver.url(), insertForm(u"PRICES"_qs, rows));
        QCOMPARE(refused.status, 400);
        QVERIFY2(refused.text.contains(u"two"), qPrintable(refused.text));
        QCOMPARE(rowCount(check.database(), u"prices"_qs), 0);
        QCOMPARE(post(receiver.url(), insertForm(u"PRICES"_qs, QString(rows).replace(u"two"_qs, u"2"_qs))).status, 200);
        QSqlQuery query(u"SELECT name FROM prices ORDER BY price"_qs, check.database());
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), u"a\tb\\c"_qs);

        // "schema.table" names a table outside the search path.
        QVERIFY(check.exec(u"CREATE SCHEMA sales; CREATE TABLE sales.prices (name text, price integer)"_qs));
        QCOMPARE(post(receiver.url(), insertForm(u"Sales.Prices"_qs, QString(rows).replace(u"two"_qs, u"2"_qs))).status, 200);
        QSqlQuery inSchema(u"SELECT count(*) FROM sales.prices"_qs, check.database());
        QVERIFY(inSchema.next());
        QCOMPARE(inSchema.value(0).toInt(), 2);
    }

private:
    PostgresServer m_server;
};

QTEST_GUILESS_MAIN(TestReceiverPostgresql)
#include "tst_receiver_postgresql.moc"
