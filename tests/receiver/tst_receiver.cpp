#include "tests/common/Requirements.h"
#include "tests/common/TempWorkDir.h"
#include "tests/receiver/ReceiverTest.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <vector>

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

// The options that make the receiver ask for "alice" and the password "s3cret", kept in `dir`.
QStringList credentials(const TempWorkDir &dir)
{
    dir.write(QStringLiteral("password"), "s3cret\n");
    return {u"--user"_qs, u"alice"_qs, u"--password-file"_qs, dir.filePath(u"password"_qs)};
}

std::unique_ptr<QTcpSocket> connectTo(const QUrl &url)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(url.host(), quint16(url.port()));
    socket->waitForConnected(20000);
    return socket;
}

// One request as raw bytes on a connection of its own; the answer as "<status> <text>".
QString exchange(const QUrl &url, const QByteArray &request)
{
    const std::unique_ptr<QTcpSocket> socket = connectTo(url);
    socket->write(request);
    socket->waitForDisconnected(20000); // the receiver closes the connection after its answer
    const QByteArray answer = socket->readAll();
    return QString::fromUtf8(answer.mid(9, 3) + ' ' + answer.mid(answer.indexOf("\r\n\r\n") + 4));
}

QByteArray requestBytes(const QByteArray &method, const QByteArray &headers, const QByteArray &body)
{
    return method + " /servlets/Insert HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
           + "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n"
           + body;
}

} // namespace

class TestReceiver : public QObject {
    Q_OBJECT

private slots:
    // Every refusal is a 400 naming the fault, and leaves the file as it was (no rows, no table),
    // also where tables may be created. Each is answered at once: the patience below is ample
    // for all of them, and was far too short for some before.
    void faultsInsertNothing_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("document");
        QTest::addColumn<QByteArray>("moreFields");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("createTables");
        const QString good = rowsOf(2, QStringLiteral("<name>n</name><price>1</price>"));
        const auto row = [&](const char *name, const QString &table, const QString &document, const QString &answer,
                             const QByteArray &moreFields = {}) {
            QTest::newRow(name) << table << document << moreFields << answer << true;
        };
        row("bad XML", u"prices"_qs, good.chopped(3), u"XML 文書の"_qs);
        row("DOCTYPE", u"prices"_qs, u"<!DOCTYPE R [<!ENTITY e 'x'>]><R><W><name>&e;</name></W></R>"_qs,
            u"DOCTYPE は受け付けません。"_qs);
        QTest::newRow("table") << u"nothing"_qs << good << QByteArray() << u"表「nothing」はデータベースにありません。"_qs << false;
        row("column", u"prices"_qs, rowsOf(1, u"<name>a</name><colour>red</colour>"_qs),
            u"列「colour」は表「prices」にありません。"_qs);
        row("refused value", u"prices"_qs, u"<R><W><price>1</price></W><W><price>two</price></W></R>"_qs,
            u"2行目を表「prices」に挿入できません"_qs);
        // Nothing is dropped or stored that the document does not say exactly.
        row("text in the root", u"prices"_qs, u"<R>\nloose<W><price>1</price></W></R>"_qs, u"1行目: 行の要素の外に文字"_qs);
        row("text in a row", u"prices"_qs, u"<R>\n<W><price>1</price></W>\n<W>loose<price>1</price></W></R>"_qs,
            u"3行目: 2行目: 列の要素の外に文字"_qs);
        row("second root", u"prices"_qs, u"<R><W><price>1</price></W></R>\n<R><W><price>2</price></W></R>"_qs,
            u"2行目: ルート要素が 2 つ以上"_qs);
        row("unknown entity", u"prices"_qs, u"<R><W><name>&foo;</name></W></R>"_qs, u"「&foo;」は使えない参照です"_qs);
        row("control character", u"prices"_qs, u"<R><W><name>&#1;</name></W></R>"_qs, u"文字参照「&#1;」は XML で"_qs);
        row("surrogate", u"prices"_qs, u"<R>\n<W><name>&#xD800;</name></W></R>"_qs, u"2行目: 文字参照「&#xD800;」"_qs);
        row("repeated table name", u"prices"_qs, good, u"項目「tabName」が複数あります。"_qs, "&tabName=b");
        row("repeated command", u"prices"_qs, good, u"項目「command」が複数あります。"_qs, "&command=insert");
        // Tables that would vanish with the connection, or that belong to the database.
        row("temporary schema", u"temp.売上"_qs, good, u"表「temp.売上」には挿入できません。"_qs);
        row("database's table", u"sqlite_sequence"_qs, good, u"表「sqlite_sequence」には挿入できません。"_qs);
        row("receiver's table", u"Tessaly_Requests"_qs, good, u"表「Tessaly_Requests」には挿入できません。"_qs);
        row("no schema", u".leading"_qs, good, u"表名「.leading」が正しくありません。"_qs);
        // Columns: linear time, and a limit.
        QString wide = u"<R><W>"_qs;
        for (int column = 0; column < 40000; ++column)
            wide += u"<c%1>1</c%1>"_qs.arg(column);
        row("40,000 columns", u"wide"_qs, wide + u"</W></R>"_qs, u"列の数が上限の 16384 を超えています。"_qs);
        row("one element repeated", u"wide"_qs, u"<R><W>"_qs + u"<c>1</c>"_qs.repeated(20000) + u"</W></R>"_qs,
            u"列の数が上限の 16384 を超えています。"_qs);
        QString growing = u"<R>"_qs;
        for (int column = 0; column < 4000; ++column)
            growing += u"<W><c%1>1</c%1></W>"_qs.arg(column);
        row("a column more in each row", u"wide"_qs, growing + u"</R>"_qs, u"行に欠けている列が多すぎます（4000行 × 4000列"_qs);
    }
    void faultsInsertNothing()
    {
        QFETCH(QString, table);
        QFETCH(QString, document);
        QFETCH(QByteArray, moreFields);
        QFETCH(QString, answer);
        QFETCH(bool, createTables);
        SqliteReceiver setup{createTables ? QStringList{u"--create-tables"_qs} : QStringList()};
        QVERIFY(QSqlQuery(setup.check).exec(u"CREATE TABLE prices (name TEXT, price INTEGER) STRICT"_qs));
        const QString got = post(setup.receiver.url, insertForm(table, document) + moreFields,
                                 "application/x-www-form-urlencoded; charset=UTF-8", 10000);
        QVERIFY2(got.startsWith(u"400 ") && got.contains(answer), qPrintable(got));
        QCOMPARE(rowCount(setup.check, u"prices"_qs), 0);
        QStringList tables = setup.check.tables();
        tables.sort();
        QCOMPARE(tables, (QStringList{u"prices"_qs, u"tessaly_requests"_qs}));
    }

    // A sender that gives up while the rows wait for a lock, and sends the same document again:
    // the rows land once, whichever of the two requests inserted them.
    void resentDocumentLandsOnce()
    {
        SqliteReceiver setup;
        const QString document = rowsOf(15, u"<id>1</id>"_qs);
        const QByteArray form = insertForm(u"EMP"_qs, document) + "&requestId=6f1c-resent";
        QSqlQuery lock(setup.check);
        QVERIFY(lock.exec(u"BEGIN IMMEDIATE"_qs));
        QCOMPARE(post(setup.receiver.url, form, "application/x-www-form-urlencoded; charset=UTF-8", 1000), QString());
        QVERIFY(lock.exec(u"ROLLBACK"_qs));

        static const QRegularExpression inserted(u"^200 (15件の行を挿入しました。|この文書は既に挿入されています（15件、"_qs
                                                 u"\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d）。)$"_qs);
        QVERIFY(inserted.match(post(setup.receiver.url, form)).hasMatch());
        const QString again = post(setup.receiver.url, form);
        QVERIFY2(again.startsWith(u"200 この文書は既に挿入されています（15件、") && inserted.match(again).hasMatch(),
                 qPrintable(again));
        QCOMPARE(rowCount(setup.check, u"EMP"_qs), 15);
        // The identifier is the document's for its table: another table gets the rows.
        QCOMPARE(post(setup.receiver.url, QByteArray(form).replace("EMP", "DEPT")), u"200 15件の行を挿入しました。"_qs);
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
        QCOMPARE(post(setup.receiver.url, shiftJis, "application/x-www-form-urlencoded"), u"200 1件の行を挿入しました。"_qs);
        // Also when the bytes happen to be valid UTF-8: "ﾃｽ" in Shift_JIS is C3 BD.
        const QString katakana = rowsOf(1, u"<name>ﾃｽ</name><price>2</price>"_qs).replace(u"?>"_qs, u" encoding=\"Shift_JIS\"?>"_qs);
        QCOMPARE(post(setup.receiver.url, insertForm(u"prices"_qs, katakana, "insert", "Shift_JIS"),
                      "application/x-www-form-urlencoded"),
                 u"200 1件の行を挿入しました。"_qs);
        QSqlQuery query(u"SELECT p.name || '|' || ifnull(p.price, 'NULL') || '|' || q.名前 || '|' || q.名前_2"
                        u" || '|' || q.\"a\"\")\" FROM prices p, people q ORDER BY p.price"_qs,
                        setup.check);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), u"a & <b>\r\nc|NULL| |x|q"_qs);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), u"ﾃｽ|2| |x|q"_qs);
    }

    void sheetsArriveWithTheRightPasswordOnly()
    {
        TempWorkDir passwordDir;
        const QStringList passwordOptions = credentials(passwordDir);
        SqliteReceiver setup(QStringList{QStringLiteral("--create-tables")} + passwordOptions);
        configureSend(setup.receiver.url, QStringLiteral("EMP"), QStringLiteral("alice"), QStringLiteral("wrong"));
        QCOMPARE(QString::fromUtf8(runCli({QStringLiteral("send"), fixture("fixtures-biff8.xls")}).output),
                 u"ユーザー名またはパスワードが正しくありません。\n"_qs);
        sendBothSheets(setup.receiver.url, setup.check, QStringLiteral("alice"), QStringLiteral("s3cret"));

        // Beyond the loopback a password would cross the network in clear: no start without TLS.
        QProcess refused;
        refused.start(QStringLiteral(TESSALY_RECEIVER), QStringList{u"--listen"_qs, u"0.0.0.0:0"_qs} + passwordOptions);
        QVERIFY(refused.waitForFinished());
        QVERIFY(QString::fromUtf8(refused.readAllStandardError()).contains(u"--tls-cert"));
    }

    // Decided from the header alone, each answer one Japanese line; "alice:s3cret" is accepted. A
    // body over the limit is answered, not cut off: the rest is read first, so the client sees why.
    void headerDecidesBeforeTheBody_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<qint64>("heldBody"); // announced by another request, still being sent
        QTest::addColumn<QString>("answer");
        const QByteArray credentials = "Authorization: Basic YWxpY2U6czNjcmV0\r\n";
        const QByteArray form = insertForm(u"EMP"_qs, rowsOf(1, u"<id>1</id>"_qs));
        QTest::newRow("scheme in lower case") << requestBytes("POST", "authorization: basic YWxpY2U6czNjcmV0\r\n", form)
                                              << qint64(0) << u"200 1件の行を挿入しました。"_qs;
        QTest::newRow("header over 64 KiB") << requestBytes("POST", "X-Filler: " + QByteArray(70000, 'a') + "\r\n", form)
                                            << qint64(0) << u"431 ヘッダーが上限の 65536 バイトを超えています。"_qs;
        QTest::newRow("compressed") << requestBytes("POST", credentials + "Content-Encoding: gzip\r\n", form) << qint64(0)
                                    << u"415 Content-Encoding（gzip）のついた本文は受け付けません。圧縮せずに送って下さい。"_qs;
        QTest::newRow("body over the limit") << requestBytes("POST", credentials, insertForm(u"EMP"_qs, QString(4 << 20, u'x')))
                                             << qint64(0) << u"413 本文が上限の 1024000 バイトを超えています。"_qs;
        QTest::newRow("PUT") << requestBytes("PUT", credentials, form) << qint64(0) << u"405 挿入の要求は POST で送って下さい。"_qs;
        QTest::newRow("OPTIONS") << requestBytes("OPTIONS", {}, {}) << qint64(0) << u"405 挿入の要求は POST で送って下さい。"_qs;
        QTest::newRow("bodies over the budget")
            << requestBytes("POST", credentials, form) << qint64(1000 * 1024)
            << u"503 ほかの要求の本文を受信中で、メモリの上限に達しています。しばらくしてから送り直して下さい。"_qs;
    }
    void headerDecidesBeforeTheBody()
    {
        QFETCH(QByteArray, request);
        QFETCH(qint64, heldBody);
        QFETCH(QString, answer);
        TempWorkDir passwordDir;
        SqliteReceiver setup(QStringList{u"--create-tables"_qs, u"--body-budget"_qs, u"1000K"_qs} + credentials(passwordDir));
        const QUrl url(setup.receiver.url);
        std::unique_ptr<QTcpSocket> held;
        if (heldBody > 0) {
            held = connectTo(url);
            held->write("POST /servlets/Insert HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic YWxpY2U6czNjcmV0\r\n"
                        "Content-Type: application/x-www-form-urlencoded\r\nExpect: 100-continue\r\nContent-Length: "
                        + QByteArray::number(heldBody) + "\r\n\r\n");
            // "100 Continue" comes once its body's memory is reserved.
            QVERIFY(held->waitForReadyRead(20000));
        }
        QCOMPARE(exchange(url, request), answer);
    }

    // Connections that hold a worker without finishing their request leave the others served.
    void slowClientsHoldNoOneUp_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("HTTP, headers sent a byte a second") << false;
        QTest::newRow("HTTPS, silent") << true;
    }
    void slowClientsHoldNoOneUp()
    {
        QFETCH(bool, tls);
        TempWorkDir certificateDir;
        QStringList options{u"--create-tables"_qs};
        if (tls) {
            if (!makeCertificates(certificateDir.path()))
                MISSING("openssl could not make the certificates");
            options << u"--tls-cert"_qs << certificateDir.filePath(u"server.pem"_qs) << u"--tls-key"_qs
                    << certificateDir.filePath(u"server.key"_qs);
        }
        SqliteReceiver setup(options);
        // More than a fixed pool of eight workers would have.
        std::vector<std::unique_ptr<QTcpSocket>> slow;
        for (int i = 0; i < 16; ++i) {
            slow.push_back(connectTo(QUrl(setup.receiver.url)));
            if (!tls)
                slow.back()->write("POST /servlets/Insert HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        }
        QTimer trickle;
        connect(&trickle, &QTimer::timeout, this, [&] {
            for (const std::unique_ptr<QTcpSocket> &socket : slow)
                socket->write(tls ? "" : "x");
        });
        trickle.start(1000);
        // Generous, yet shorter than the time a silent connection may take.
        QCOMPARE(post(setup.receiver.url, insertForm(u"EMP"_qs, rowsOf(1, u"<id>1</id>"_qs)),
                      "application/x-www-form-urlencoded; charset=UTF-8", 15000),
                 u"200 1件の行を挿入しました。"_qs);
    }

    void onePortOneReceiverStoppedPromptly()
    {
        SqliteReceiver setup(QStringList{});
        QVERIFY(QSqlQuery(setup.check).exec(u"CREATE TABLE prices (name TEXT)"_qs));
        // Two receivers on one port would split the requests between their databases.
        QProcess second;
        second.start(QStringLiteral(TESSALY_RECEIVER), {u"--listen"_qs, u"127.0.0.1:%1"_qs.arg(QUrl(setup.receiver.url).port()),
                                                        u"--database"_qs, u"sqlite:"_qs + setup.dir.filePath(u"second.sqlite"_qs)});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(QString::fromUtf8(second.readAllStandardError()).contains(u"待ち受けられません"));

        // SIGTERM while an insert waits for the database's lock: rolled back, and the receiver ends.
        QSqlQuery lock(setup.check);
        QVERIFY(lock.exec(u"BEGIN IMMEDIATE"_qs));
        QNetworkAccessManager manager;
        QNetworkRequest request{QUrl(setup.receiver.url)};
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
        const std::unique_ptr<QNetworkReply> reply(manager.post(request, insertForm(u"prices"_qs, rowsOf(1, u"<name>a</name>"_qs))));
        bool sent = false;
        connect(reply.get(), &QNetworkReply::uploadProgress, this, [&](qint64 done, qint64 total) { sent = done == total; });
        QTRY_VERIFY_WITH_TIMEOUT(sent, 20000);
        setup.receiver.process.terminate();
        QVERIFY(setup.receiver.process.waitForFinished(20000));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 20000);
        QVERIFY(lock.exec(u"COMMIT"_qs));
    }

    void concurrentSendersBothLand()
    {
        SqliteReceiver setup;
        const QByteArray body = insertForm(u"EMP"_qs, rowsOf(20000, u"<id>1</id><name>name</name>"_qs));
        QCOMPARE(postAtOnce(setup.receiver.url, {body, body}), QStringList(2, u"200 20000件の行を挿入しました。"_qs));
        QCOMPARE(rowCount(setup.check, u"EMP"_qs), 40000);
    }
};

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
