#pragma once

#include "core/config/ConfigFile.h"
#include "core/document/XmlDocument.h"
#include "core/document/XmlName.h"
#include "tests/common/CliProcess.h"
#include "tests/common/Fixtures.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringEncoder>
#include <QTest>

// tessaly-receiver (TESSALY_RECEIVER) on 127.0.0.1 and a free port, in the working directory.
struct ReceiverProcess {
    explicit ReceiverProcess(const QStringList &arguments)
    {
        process.setReadChannel(QProcess::StandardError);
        process.start(QStringLiteral(TESSALY_RECEIVER), QStringList{u"--listen"_qs, u"127.0.0.1:0"_qs} + arguments);
        static const QRegularExpression started(u"(https?://127\\.0\\.0\\.1:\\d+/\\S+) で待ち受けています"_qs);
        while (url.isEmpty() && process.waitForReadyRead(20000)) {
            while (url.isEmpty() && process.canReadLine())
                url = started.match(QString::fromUtf8(process.readLine())).captured(1);
        }
    }
    // Stops it; a receiver that does not end cleanly (a sanitizer's report, a crash) fails the test.
    ~ReceiverProcess()
    {
        process.terminate();
        process.waitForFinished();
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            qFatal("tessaly-receiver ended badly:\n%s", process.readAllStandardError().constData());
    }

    QProcess process;
    QString url;
};

// A connection of the test's own to the database the receiver writes: a SQLite file, or with the
// options of a server its database of that name.
inline QSqlDatabase openDatabase(const QString &driver, const QString &name, const QString &options = {}, const QString &user = {})
{
    QSqlDatabase database = QSqlDatabase::addDatabase(driver, name);
    database.setDatabaseName(name);
    database.setConnectOptions(options);
    database.setUserName(user);
    database.open();
    return database;
}

// XMLConfig.xml in the working directory with the built-in settings but for these.
inline void configureSend(const QString &url, const QString &table, const QString &user = {}, const QString &password = {})
{
    tessaly::Settings settings;
    settings.url = url;
    settings.table = table;
    settings.user = user;
    settings.password = password;
    QVERIFY(tessaly::ConfigDocument().save(settings, tessaly::kConfigFileName).ok());
}

// POSTs of form bodies at once, as clients other than Tessaly might send them; the answers as
// "<status> <text>", empty when none came within `patience` milliseconds.
inline QStringList postAtOnce(const QString &url, const QList<QByteArray> &bodies,
                              const QByteArray &contentType = "application/x-www-form-urlencoded; charset=UTF-8",
                              int patience = 60000)
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    std::vector<std::unique_ptr<QNetworkReply>> replies;
    for (const QByteArray &body : bodies) {
        replies.emplace_back(manager.post(request, body));
        // The tests' HTTPS receivers have a certificate of their own making.
        QNetworkReply *reply = replies.back().get();
        QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
    }
    (void)QTest::qWaitFor(
        [&] { return std::all_of(replies.begin(), replies.end(), [](auto &reply) { return reply->isFinished(); }); }, patience);
    QStringList answers;
    for (const auto &reply : replies) {
        const QString status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toString();
        answers.append(reply->isFinished() ? status + u' ' + QString::fromUtf8(reply->readAll()) : QString());
    }
    return answers;
}

inline QString post(const QString &url, const QByteArray &body,
                    const QByteArray &contentType = "application/x-www-form-urlencoded; charset=UTF-8", int patience = 60000)
{
    return postAtOnce(url, {body}, contentType, patience).first();
}

inline QByteArray insertForm(const QString &table, const QString &document, const QByteArray &command = "insert",
                             const char *charset = "UTF-8")
{
    QStringEncoder encoder(charset);
    return "command=" + command + "&tabName=" + table.toUtf8().toPercentEncoding()
           + "&xmlText=" + QByteArray(encoder.encode(document)).toPercentEncoding();
}

// A document of `count` rows, each of these column elements.
inline QString rowsOf(int count, const QString &cells)
{
    const QString rows = (QStringLiteral("<ROW>") + cells + QStringLiteral("</ROW>\r\n")).repeated(count);
    return QStringLiteral("<?xml version=\"1.0\"?>\r\n<ROWSET>\r\n") + rows + QStringLiteral("</ROWSET>");
}

inline qsizetype rowCount(const QSqlDatabase &database, const QString &table)
{
    QSqlQuery query(QStringLiteral("SELECT count(*) FROM %1").arg(table), database);
    return query.next() ? query.value(0).toLongLong() : -1;
}

// Every row and cell of the table equals the worksheet's: its text, NULL for an empty cell, and
// the columns named after the headings.
inline void compareWithSheet(const QSqlDatabase &database, const QString &table, const QString &workbook, int sheet)
{
    const tessaly::workbook::SheetTable expected = readSheet(workbook, sheet);
    QSqlQuery query(database);
    const QString quoted = database.driver()->escapeIdentifier(table, QSqlDriver::TableName);
    QVERIFY2(query.exec(QStringLiteral("SELECT * FROM %1").arg(quoted)), qPrintable(table));
    QCOMPARE(query.record().count(), expected.columnCount());
    for (qsizetype column = 0; column < expected.columnCount(); ++column)
        QCOMPARE(query.record().fieldName(int(column)), tessaly::fromXmlName(tessaly::columnTagName(expected, column)));
    qsizetype record = 0;
    std::vector<QStringView> cells(std::size_t(expected.columnCount()));
    for (; query.next(); ++record) {
        QVERIFY2(record < expected.recordCount(), qPrintable(table));
        expected.recordValues(record, cells);
        for (qsizetype column = 0; column < expected.columnCount(); ++column) {
            QCOMPARE(query.value(int(column)).isNull(), cells[std::size_t(column)].isEmpty());
            QCOMPARE(query.value(int(column)).toString(), cells[std::size_t(column)].toString());
        }
    }
    QCOMPARE(record, expected.recordCount());
}

// tessaly-cli sends the Japanese BIFF5 sheet and the BIFF8 sheet of every cell type to `url`; each
// arrives cell for cell.
inline void sendBothSheets(const QString &url, const QSqlDatabase &database, const QString &user = {}, const QString &password = {})
{
    const QString biff5 = fixture("fixtures-biff5-ja.xls");
    configureSend(url, QStringLiteral("社員"), user, password);
    QCOMPARE(QString::fromUtf8(runCli({QStringLiteral("send"), biff5}).output), u"4件の行を挿入しました。\n"_qs);
    compareWithSheet(database, QStringLiteral("社員"), biff5, 0);
    const QString biff8 = fixture("fixtures-biff8.xls");
    configureSend(url, QStringLiteral("types"), user, password);
    QCOMPARE(runCli({QStringLiteral("send"), biff8, QStringLiteral("Types")}).exitCode, 0);
    compareWithSheet(database, QStringLiteral("types"), biff8, 1);
    // Each send carried an identifier, recorded with its rows.
    QSqlQuery recorded(u"SELECT sum(row_count) FROM tessaly_requests"_qs, database);
    QVERIFY(recorded.next());
    QCOMPARE(recorded.value(0).toLongLong(), 4 + readSheet(biff8, 1).recordCount());
}
