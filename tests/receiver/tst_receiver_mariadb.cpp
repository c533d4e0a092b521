#include "tests/common/MariadbServer.h"
#include "tests/common/TempWorkDir.h"
#include "tests/receiver/ReceiverTest.h"

class TestReceiverMariadb : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        REQUIRE_SERVER(m_server);
        m_check = openDatabase(u"QMYSQL"_qs, u"tessaly"_qs, m_server.connectOptions(), m_server.user());
        QVERIFY2(m_check.isOpen(), qPrintable(m_check.lastError().text()));
        QVERIFY(QSqlQuery(m_check).exec(u"CREATE TABLE prices (name TEXT, price INTEGER)"_qs));
    }

    void sheetsArriveCellForCell()
    {
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.url(), QStringLiteral("--create-tables")});
        sendBothSheets(receiver.url, m_check);
    }

    void faultsInsertNothing_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("answer");
        const QString good = rowsOf(1, u"<name>a</name>"_qs);
        QTest::newRow("refused value") << u"prices"_qs << u"<R><W><price>1</price></W><W><price>two</price></W></R>"_qs
                                       << u"2行目を表「prices」に挿入できません"_qs;
        QTest::newRow("column") << u"PRICES"_qs << rowsOf(1, u"<name>a</name><colour>red</colour>"_qs)
                                << u"列「colour」は表「PRICES」にありません。"_qs;
        const QString long65 = QString(65, u'表');
        QTest::newRow("name over 64 characters")
            << long65 << good << u"名前「%1」は 65 文字あり、MySQL の名前の上限の 64 文字を超えています。"_qs.arg(long65);
        QTest::newRow("system schema") << u"mysql.user"_qs << good << u"表「mysql.user」には挿入できません。"_qs;
    }
    void faultsInsertNothing()
    {
        QFETCH(QString, table);
        QFETCH(QString, document);
        QFETCH(QString, answer);
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.url(), QStringLiteral("--create-tables")});
        const QString got = post(receiver.url, insertForm(table, document));
        QVERIFY2(got.startsWith(u"400 ") && got.contains(answer), qPrintable(got));
        QCOMPARE(rowCount(m_check, u"prices"_qs), 0);
        QCOMPARE(m_check.tables().size(), 4); // prices, tessaly_requests and the two sheets
    }

private:
    MariadbServer m_server;
    QSqlDatabase m_check;
};

QTEST_GUILESS_MAIN(TestReceiverMariadb)
#include "tst_receiver_mariadb.moc"
