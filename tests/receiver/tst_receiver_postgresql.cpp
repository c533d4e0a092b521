#include "tests/common/PostgresServer.h"
#include "tests/common/TempWorkDir.h"
#include "tests/receiver/ReceiverTest.h"

class TestReceiverPostgresql : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        REQUIRE_SERVER(m_server);
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

    // Through unixODBC and the PostgreSQL ODBC driver, into a database of its own: the sheets
    // arrive cell for cell, and a refused value or an unknown column inserts nothing.
    void throughOdbc()
    {
        QVERIFY(QSqlQuery(m_check).exec(u"CREATE DATABASE odbc"_qs));
        QSqlDatabase check = openDatabase(u"QPSQL"_qs, u"odbc"_qs, m_server.connectOptions());
        QVERIFY(QSqlQuery(check).exec(u"CREATE TABLE prices (name text, price integer)"_qs));
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.odbcUrl(u"odbc"_qs), QStringLiteral("--create-tables")});
        sendBothSheets(receiver.url, check);
        const QString refused = post(receiver.url, insertForm(u"prices"_qs, u"<R><W><price>1</price></W><W><price>two</price></W></R>"_qs));
        QVERIFY2(refused.startsWith(u"400 ") && refused.contains(u"2行目を表「prices」に挿入できません"), qPrintable(refused));
        QCOMPARE(post(receiver.url, insertForm(u"prices"_qs, rowsOf(1, u"<colour>red</colour>"_qs))),
                 u"400 列「colour」は表「prices」にありません。"_qs);
        QCOMPARE(rowCount(check, u"prices"_qs), 0);
    }

    // Names that PostgreSQL would cut short or that are its own are refused whole, and nothing
    // is created.
    void namesAreRefusedWhole_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("answer");
        const QString long22 = QString(22, u'売');
        QTest::newRow("table over 63 bytes") << long22 << u"a"_qs << u"名前「%1」は 66 バイトあり、PostgreSQL の名前の上限の 63 バイト"_qs.arg(long22);
        QTest::newRow("column over 63 bytes") << u"sales"_qs << long22 << u"名前「%1」は 66 バイトあり"_qs.arg(long22);
        QTest::newRow("temporary schema") << u"pg_temp.sales"_qs << u"a"_qs << u"表「pg_temp.sales」には挿入できません。"_qs;
        QTest::newRow("catalogue") << u"pg_authid"_qs << u"a"_qs << u"表「pg_authid」には挿入できません。"_qs;
        QTest::newRow("information schema") << u"information_schema.evil"_qs << u"a"_qs
                                            << u"表「information_schema.evil」には挿入できません。"_qs;
    }
    void namesAreRefusedWhole()
    {
        QFETCH(QString, table);
        QFETCH(QString, column);
        QFETCH(QString, answer);
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_server.url(), QStringLiteral("--create-tables")});
        const auto tableCount = [&] {
            QSqlQuery query(u"SELECT count(*) FROM pg_class"_qs, m_check);
            return query.next() ? query.value(0).toInt() : -1;
        };
        const int before = tableCount();
        const QString got = post(receiver.url, insertForm(table, rowsOf(1, u"<%1>x</%1>"_qs.arg(column))));
        QVERIFY2(got.startsWith(u"400 ") && got.contains(answer), qPrintable(got));
        QCOMPARE(tableCount(), before);
    }

    // Requests at once that may create one table under names differing in case or schema make
    // one table; requests at once with one requestId into an existing table insert its rows once,
    // the others waiting on the record's key for the first's COMMIT and then answering that the
    // document is in.
    void concurrentRequestsLandOnce_data()
    {
        QTest::addColumn<QStringList>("tables");
        QTest::addColumn<QByteArray>("requestId");
        QTest::addColumn<int>("rows");
        QTest::newRow("names across case") << QStringList{u"race"_qs, u"RACE"_qs, u"public.race"_qs} << QByteArray() << 12000;
        QTest::newRow("one requestId") << QStringList{u"once"_qs, u"ONCE"_qs, u"once"_qs} << QByteArray("&requestId=r1") << 4000;
    }
    void concurrentRequestsLandOnce()
    {
        QFETCH(QStringList, tables);
        QFETCH(QByteArray, requestId);
        QFETCH(int, rows);
        TempWorkDir dir;
        if (!requestId.isEmpty())
            QVERIFY(QSqlQuery(m_check).exec(u"CREATE TABLE once (id integer)"_qs));
        QStringList options{QStringLiteral("--database"), m_server.url()};
        if (requestId.isEmpty())
            options.append(QStringLiteral("--create-tables"));
        ReceiverProcess receiver(options);
        QNetworkAccessManager manager;
        QNetworkRequest request{QUrl(receiver.url)};
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded; charset=UTF-8"));
        std::vector<std::unique_ptr<QNetworkReply>> replies;
        for (const QString &name : tables)
            replies.emplace_back(manager.post(request, insertForm(name, rowsOf(4000, u"<id>1</id>"_qs)) + requestId));
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(replies.begin(), replies.end(), [](const auto &reply) { return reply->isFinished(); }),
                                 60000);
        QStringList answers;
        for (const auto &reply : replies)
            answers.append(QString::fromUtf8(reply->readAll()).section(u'、', 0, 0));
        answers.sort();
        QCOMPARE(answers.count(u"4000件の行を挿入しました。"_qs), rows / 4000);
        QCOMPARE(answers.count(u"この文書は既に挿入されています（4000件"_qs), 3 - rows / 4000);
        QSqlQuery table(u"SELECT relname FROM pg_class WHERE lower(relname) = '%1'"_qs.arg(tables.first()), m_check);
        QVERIFY(table.next());
        QCOMPARE(rowCount(m_check, u"\"%1\""_qs.arg(table.value(0).toString())), rows);
        QVERIFY(!table.next());
    }

private:
    PostgresServer m_server;
    QSqlDatabase m_check;
};

QTEST_GUILESS_MAIN(TestReceiverPostgresql)
#include "tst_receiver_postgresql.moc"
