#include "tests/common/PostgresServer.h"
#include "tests/common/TempWorkDir.h"
#include "tests/receiver/ReceiverTest.h"

class TestReceiverPostgresql : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!m_server.isRunning() && qgetenv("CI") == "true")
            QFAIL(qPrintable(m_server.problem()));
        if (!m_server.isRunning())
            QSKIP(qPrintable(m_server.problem()));
        m_check = openDatabase(u"QPSQL"_qs, u"postgres"_qs, m_server.connectOptions());
    }

    void sheetsArriveCellForCell()
    {
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.url(), QStringLiteral("--create-tables")});
        sendBothSheets(receiver.url, m_check);
    }

    void refusedValueInsertsNothing()
    {
        TempWorkDir dir;
        // Created unquoted, so in lower case; the request names it in upper case.
        QVERIFY(QSqlQuery(m_check).exec(u"CREATE TABLE prices (name text, price integer)"_qs));
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.url()});
        const QString rows = u"<R><W><NAME>a\tb\\c</NAME><price>1</price></W><W><price>two</price></W></R>"_qs;
        const QString refused = post(receiver.url, insertForm(u"PRICES"_qs, rows));
        QVERIFY2(refused.startsWith(u"400 ") && refused.contains(u"two"), qPrintable(refused));
        QCOMPARE(rowCount(m_check, u"prices"_qs), 0);
        const QString good = QString(rows).replace(u"two"_qs, u"2"_qs);
        QCOMPARE(post(receiver.url, insertForm(u"PRICES"_qs, good)), u"200 2件の行を挿入しました。"_qs);
        QSqlQuery query(u"SELECT name FROM prices ORDER BY price"_qs, m_check);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), u"a\tb\\c"_qs);
    }

private:
    PostgresServer m_server;
    QSqlDatabase m_check;
};

QTEST_GUILESS_MAIN(TestReceiverPostgresql)
#include "tst_receiver_postgresql.moc"
