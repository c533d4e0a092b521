#include "tests/common/TempWorkDir.h"
#include "tests/receiver/ReceiverTest.h"

namespace {

// tessaly-receiver writing a SQLite file in a temporary working directory, and the test's own
// connection to that file.
struct SqliteReceiver {
    explicit SqliteReceiver(const QStringList &options = {QStringLiteral("--create-tables")})
        : receiver(QStringList{QStringLiteral("--database"), u"sqlite:"_qs + file} + options)
    {
    }
    TempWorkDir dir;
    QString file = dir.filePath(QStringLiteral("tessaly.sqlite"));
    ReceiverProcess receiver;
    QSqlDatabase check = openDatabase(QStringLiteral("QSQLITE"), file);
};

QString rowsOf(int count, const QString &cells)
{
    const QString rows = (QStringLiteral("<ROW>") + cells + QStringLiteral("</ROW>\r\n")).repeated(count);
    return QStringLiteral("<?xml version=\"1.0\"?>\r\n<ROWSET>\r\n") + rows + QStringLiteral("</ROWSET>");
}

} // namespace

class TestReceiver : public QObject {
    Q_OBJECT

private slots:
    void faultsInsertNothing_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("document");
        QTest::addColumn<QString>("answer");
        const QString good = rowsOf(2, QStringLiteral("<name>n</name><price>1</price>"));
        QTest::newRow("bad XML") << u"prices"_qs << good.chopped(3) << u"XML 文書の"_qs;
        QTest::newRow("DOCTYPE") << u"prices"_qs << u"<!DOCTYPE R [<!ENTITY e 'x'>]><R><W><name>&e;</name></W></R>"_qs
                                 << u"DOCTYPE は受け付けません。"_qs;
        QTest::newRow("table") << u"nothing"_qs << good << u"表「nothing」はデータベースにありません。"_qs;
        QTest::newRow("column") << u"prices"_qs << rowsOf(1, u"<name>a</name><colour>red</colour>"_qs)
                                << u"列「colour」は表「prices」にありません。"_qs;
        QTest::newRow("refused value") << u"prices"_qs << u"<R><W><price>1</price></W><W><price>two</price></W></R>"_qs
                                       << u"2行目を表「prices」に挿入できません"_qs;
    }
    void faultsInsertNothing()
    {
        QFETCH(QString, table);
        QFETCH(QString, document);
        QFETCH(QString, answer);
        SqliteReceiver setup{QStringList()};
        QVERIFY(QSqlQuery(setup.check).exec(u"CREATE TABLE prices (name TEXT, price INTEGER) STRICT"_qs));
        const QString got = post(setup.receiver.url, insertForm(table, document));
        QVERIFY2(got.startsWith(u"400 ") && got.contains(answer), qPrintable(got));
        QCOMPARE(rowCount(setup.check, u"prices"_qs), 0);
    }

    void namesAndValuesArriveExactly()
    {
        SqliteReceiver setup;
        QVERIFY(QSqlQuery(setup.check).exec(u"CREATE TABLE prices (name TEXT, price INTEGER) STRICT"_qs));
        // Case is ignored where no name matches exactly.
        const QString prices = rowsOf(1, u"<NAME>a &amp; &lt;b&gt;&#13;\r\nc</NAME><price/>"_qs);
        QCOMPARE(post(setup.receiver.url, insertForm(u"PRICES"_qs, prices)), u"200 1件の行を挿入しました。"_qs);
        // No charset: the declaration decides. A repeated heading gets a column.
        const QString people = rowsOf(1, u"<名前> </名前><名前>x</名前><a_x0022__x0029_>q</a_x0022__x0029_>"_qs)
                                   .replace(u"?>"_qs, u" encoding=\"Shift_JIS\"?>"_qs);
        const QByteArray shiftJis = insertForm(u"people"_qs, people, "insert", "Shift_JIS");
        QCOMPARE(post(setup.receiver.url, shiftJis, "application/x-www-form-urlencoded"),
                 u"200 1件の行を挿入しました。"_qs);
        // Also when the bytes happen to be valid UTF-8: "ﾃｽ" in Shift_JIS is C3 BD.
        const QString katakana = rowsOf(1, u"<name>ﾃｽ</name><price>2</price>"_qs).replace(u"?>"_qs, u" encoding=\"Shift_JIS\"?>"_qs);
        QCOMPARE(post(setup.receiver.url, insertForm(u"prices"_qs, katakana, "insert", "Shift_JIS"),
                      "application/x-www-form-urlencoded"),
                 u"200 1件の行を挿入しました。"_qs);
        QSqlQuery query(u"SELECT p.name || '|' || ifnull(p.price, 'NULL') || '|' || q.名前 || '|' || q.名前_2"
                        u" || '|' || q.\"a\"\")\" FROM prices p, people q ORDER BY p.price"_qs, setup.check);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), u"a & <b>\r\nc|NULL| |x|q"_qs);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), u"ﾃｽ|2| |x|q"_qs);
    }

    void sheetsArriveWithTheRightPasswordOnly()
    {
        TempWorkDir passwordDir;
        passwordDir.write(QStringLiteral("password"), "s3cret\n");
        const QStringList credentials{QStringLiteral("--user"), QStringLiteral("alice"),
                                      QStringLiteral("--password-file"), passwordDir.filePath(u"password"_qs)};
        SqliteReceiver setup(QStringList{QStringLiteral("--create-tables")} + credentials);
        configureSend(setup.receiver.url, QStringLiteral("EMP"), QStringLiteral("alice"), QStringLiteral("wrong"));
        QCOMPARE(QString::fromUtf8(runCli({QStringLiteral("send"), fixture("fixtures-biff8.xls")}).output),
                 u"ユーザー名またはパスワードが正しくありません。\n"_qs);
        sendBothSheets(setup.receiver.url, setup.check, QStringLiteral("alice"), QStringLiteral("s3cret"));

        // Beyond the loopback a password would cross the network in clear: no start without TLS.
        QProcess refused;
        refused.start(QStringLiteral(TESSALY_RECEIVER), QStringList{u"--listen"_qs, u"0.0.0.0:0"_qs} + credentials);
        QVERIFY(refused.waitForFinished());
        QVERIFY(QString::fromUtf8(refused.readAllStandardError()).contains(u"--tls-cert"));
    }

    // Answered, not cut off: the rest of the body is read first, so the client sees the reason.
    void bodyOverTheLimitIsAnswered()
    {
        SqliteReceiver setup({QStringLiteral("--max-body"), QStringLiteral("64K")});
        QCOMPARE(post(setup.receiver.url, insertForm(u"EMP"_qs, QString(4 << 20, u'x'))),
                 u"413 本文が上限の 65536 バイトを超えています。"_qs);
    }

    void concurrentSendersBothLand()
    {
        SqliteReceiver setup;
        const QByteArray body = insertForm(u"EMP"_qs, rowsOf(20000, u"<id>1</id><name>name</name>"_qs));
        QNetworkAccessManager manager;
        QNetworkRequest request{QUrl(setup.receiver.url)};
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArray("application/x-www-form-urlencoded; charset=UTF-8"));
        const std::unique_ptr<QNetworkReply> first(manager.post(request, body));
        const std::unique_ptr<QNetworkReply> second(manager.post(request, body));
        QTRY_VERIFY_WITH_TIMEOUT(first->isFinished() && second->isFinished(), 60000);
        QCOMPARE(first->readAll(), QStringLiteral("20000件の行を挿入しました。").toUtf8());
        QCOMPARE(second->readAll(), QStringLiteral("20000件の行を挿入しました。").toUtf8());
        QCOMPARE(rowCount(setup.check, u"EMP"_qs), 40000);
    }
};

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
