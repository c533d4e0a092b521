#include "tests/common/MariadbServer.h"
#include "tests/common/PostgresServer.h"
#include "tests/common/Requirements.h"
#include "tests/common/TempWorkDir.h"
#include "tests/receiver/ReceiverTest.h"

// tessaly-receiver on private servers: PostgreSQL directly and through unixODBC and Debian's
// PostgreSQL ODBC driver (into a database of its own), and MariaDB. Each has a table "prices".
class TestReceiverServers : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const QString &problem : {m_postgres.problem(), m_mariadb.problem()}) {
            if (!problem.isEmpty())
                MISSING(qPrintable(problem));
        }
        m_checks[u"PostgreSQL"_qs] = openDatabase(u"QPSQL"_qs, u"postgres"_qs, m_postgres.connectOptions());
        QVERIFY(QSqlQuery(m_checks[u"PostgreSQL"_qs]).exec(u"CREATE DATABASE odbc"_qs));
        m_checks[u"ODBC"_qs] = openDatabase(u"QPSQL"_qs, u"odbc"_qs, m_postgres.connectOptions());
        m_checks[u"MariaDB"_qs] = openDatabase(u"QMYSQL"_qs, u"tessaly"_qs, m_mariadb.connectOptions(), m_mariadb.user());
        m_urls = {
            {u"PostgreSQL"_qs, m_postgres.url()}, {u"ODBC"_qs, m_postgres.odbcUrl(u"odbc"_qs)}, {u"MariaDB"_qs, m_mariadb.url()}};
        for (const QSqlDatabase &check : std::as_const(m_checks))
            QVERIFY2(QSqlQuery(check).exec(u"CREATE TABLE prices (name TEXT, price INTEGER)"_qs),
                     qPrintable(check.lastError().text()));
    }

    void sheetsArriveCellForCell_data()
    {
        QTest::addColumn<QString>("database");
        for (const QString &database : {u"PostgreSQL"_qs, u"ODBC"_qs, u"MariaDB"_qs})
            QTest::newRow(qPrintable(database)) << database;
    }
    void sheetsArriveCellForCell()
    {
        QFETCH(QString, database);
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_urls.value(database), QStringLiteral("--create-tables")});
        sendBothSheets(receiver.url, m_checks.value(database));
    }

    // A refused value, an unknown column, and names that the database would cut short or that
    // are its own: a 400 naming the fault, and nothing inserted or created.
    void faultsInsertNothing_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("answer");
        for (const QString &database : {u"PostgreSQL"_qs, u"ODBC"_qs, u"MariaDB"_qs}) {
            QTest::addRow("%s: refused value", qPrintable(database))
                << database << u"PRICES"_qs << u"price"_qs << u"表「prices」に挿入できません"_qs;
            QTest::addRow("%s: unknown column", qPrintable(database))
                << database << u"prices"_qs << u"colour"_qs << u"列「colour」は表「prices」にありません。"_qs;
        }
        const QString long22 = QString(22, u'売');
        const auto row = [](const char *name, const QString &database, const QString &table, const QString &column,
                            const QString &answer) { QTest::newRow(name) << database << table << column << answer; };
        row("table over 63 bytes", u"PostgreSQL"_qs, long22, u"a"_qs,
            u"名前「%1」は 66 バイトあり、PostgreSQL の名前の上限の 63 バイト"_qs.arg(long22));
        row("column over 63 bytes", u"PostgreSQL"_qs, u"sales"_qs, long22, u"名前「%1」は 66 バイトあり"_qs.arg(long22));
        row("temporary schema", u"PostgreSQL"_qs, u"pg_temp.sales"_qs, u"a"_qs, u"表「pg_temp.sales」には挿入できません。"_qs);
        row("catalogue", u"PostgreSQL"_qs, u"pg_authid"_qs, u"a"_qs, u"表「pg_authid」には挿入できません。"_qs);
        row("information schema", u"PostgreSQL"_qs, u"information_schema.evil"_qs, u"a"_qs,
            u"表「information_schema.evil」には挿入できません。"_qs);
        const QString long65 = QString(65, u'表');
        row("name over 64 characters", u"MariaDB"_qs, long65, u"a"_qs,
            u"名前「%1」は 65 文字あり、MySQL の名前の上限の 64 文字を超えています。"_qs.arg(long65));
        row("system schema", u"MariaDB"_qs, u"mysql.user"_qs, u"a"_qs, u"表「mysql.user」には挿入できません。"_qs);
    }
    void faultsInsertNothing()
    {
        QFETCH(QString, database);
        QFETCH(QString, table);
        QFETCH(QString, column);
        QFETCH(QString, answer);
        const QSqlDatabase check = m_checks.value(database);
        const qsizetype tables = check.tables().size();
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_urls.value(database), QStringLiteral("--create-tables")});
        const QString got = post(receiver.url, insertForm(table, u"<R><W><%1>1</%1></W><W><%1>two</%1></W></R>"_qs.arg(column)));
        QVERIFY2(got.startsWith(u"400 ") && got.contains(answer), qPrintable(got));
        QCOMPARE(rowCount(check, u"prices"_qs), 0);
        QCOMPARE(check.tables().size(), tables);
    }

    // COPY's escapes: a tab and a backslash arrive as they are.
    void valuesArriveExactly()
    {
        TempWorkDir dir;
        ReceiverProcess receiver({QStringLiteral("--database"), m_postgres.url()});
        const QString rows = u"<R><W><NAME>a\tb\\c</NAME><price>1</price></W></R>"_qs;
        QCOMPARE(post(receiver.url, insertForm(u"PRICES"_qs, rows)), u"200 1件の行を挿入しました。"_qs);
        QSqlQuery query(u"SELECT name FROM prices"_qs, m_checks.value(u"PostgreSQL"_qs));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), u"a\tb\\c"_qs);
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
        const QSqlDatabase check = m_checks.value(u"PostgreSQL"_qs);
        TempWorkDir dir;
        if (!requestId.isEmpty())
            QVERIFY(QSqlQuery(check).exec(u"CREATE TABLE once (id integer)"_qs));
        QStringList options{QStringLiteral("--database"), m_postgres.url()};
        if (requestId.isEmpty())
            options.append(QStringLiteral("--create-tables"));
        ReceiverProcess receiver(options);
        QList<QByteArray> bodies;
        for (const QString &name : tables)
            bodies.append(insertForm(name, rowsOf(4000, u"<id>1</id>"_qs)) + requestId);
        QStringList answers = postAtOnce(receiver.url, bodies);
        answers.replaceInStrings(QRegularExpression(u"、.*"_qs), QString());
        QCOMPARE(answers.count(u"200 4000件の行を挿入しました。"_qs), rows / 4000);
        QCOMPARE(answers.count(u"200 この文書は既に挿入されています（4000件"_qs), 3 - rows / 4000);
        QSqlQuery table(u"SELECT relname FROM pg_class WHERE lower(relname) = '%1'"_qs.arg(tables.first()), check);
        QVERIFY(table.next());
        QCOMPARE(rowCount(check, u"\"%1\""_qs.arg(table.value(0).toString())), rows);
        QVERIFY(!table.next());
    }

private:
    PostgresServer m_postgres;
    MariadbServer m_mariadb;
    QMap<QString, QSqlDatabase> m_checks;
    QMap<QString, QString> m_urls;
};

QTEST_GUILESS_MAIN(TestReceiverServers)
#include "tst_receiver_servers.moc"
