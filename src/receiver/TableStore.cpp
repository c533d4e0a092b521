#include "receiver/TableStore.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QDateTime>
#include <QUrl>
#include <QUrlQuery>

#include <atomic>
#include <mutex>

namespace tessaly::receiver {

Result<DatabaseTarget> DatabaseTarget::parse(const QString &text)
{
    DatabaseTarget target;
    if (text.startsWith(u"sqlite:")) {
        target.driver = QStringLiteral("QSQLITE");
        target.databaseName = text.mid(7); // the store waits for another request's lock
    } else if (text.startsWith(u"odbc:")) {
        target.driver = QStringLiteral("QODBC");
        target.databaseName = text.mid(5);
    } else {
        const QUrl url(text, QUrl::StrictMode);
        const QString scheme = url.scheme();
        if (scheme == u"postgresql" || scheme == u"postgres")
            target.driver = QStringLiteral("QPSQL");
        else if (scheme == u"mysql")
            target.driver = QStringLiteral("QMYSQL");
        if (!url.isValid() || target.driver.isEmpty() || url.path().size() < 2) {
            return Failure{
                QStringLiteral("データベース「%1」の指定が正しくありません。sqlite:ファイル、"
                               "postgresql://ユーザー@ホスト:ポート/データベース、mysql://…、odbc:DSN のどれかで指定して下さい。")
                    .arg(url.isValid() ? url.toDisplayString(QUrl::RemovePassword) : text)};
        }
        target.hostName = url.host();
        target.port = url.port();
        target.userName = url.userName();
        target.password = url.password();
        target.databaseName = url.path().mid(1);
        // ?sslmode=require&connect_timeout=10 become the driver's connect options, after the
        // receiver's time limits, so that they can override them. The server ends a statement
        // that runs too long; a client-side limit also ends a wait for a server that is stopped.
        QStringList options;
        if (target.driver == u"QPSQL") {
            options << QStringLiteral("connect_timeout=%1").arg(kConnectSeconds)
                    << QStringLiteral("options='-c statement_timeout=%1s'").arg(kStatementSeconds);
        } else {
            options << QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1").arg(kConnectSeconds)
                    << QStringLiteral("MYSQL_OPT_READ_TIMEOUT=%1").arg(kStatementSeconds)
                    << QStringLiteral("MYSQL_OPT_WRITE_TIMEOUT=%1").arg(kStatementSeconds);
        }
        for (const auto &[key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
            options.append(key + u'=' + value);
        target.connectOptions = options.join(u';');
    }
    if (target.databaseName.isEmpty())
        return Failure{QStringLiteral("データベースの名前（ファイル名または DSN）がありません。")};
    return target;
}

DatabaseFailure insertFailure(int status, const QString &tableName, qsizetype row, const QString &message)
{
    if (status == 500)
        return {500, QStringLiteral("データベースのエラーのため、表「%1」に挿入できませんでした: %2").arg(tableName, message)};
    if (row > 0)
        return {400, QStringLiteral("%1行目を表「%2」に挿入できません: %3").arg(row).arg(tableName, message)};
    return {400, QStringLiteral("表「%1」に挿入できません: %2").arg(tableName, message)};
}

DatabaseFailure TableStore::clientGone(const QString &tableName) const
{
    return {499, QStringLiteral("送信元との接続が切れたため、表「%1」への挿入を取り消しました。").arg(tableName)};
}

DatabaseResult<> TableStore::nameTooLong(const QString &name) const
{
    const QString driver = m_database.driverName();
    if (driver == u"QPSQL" && name.toUtf8().size() > 63) {
        return DatabaseFailure{400,
                               QStringLiteral("名前「%1」は %2 バイトあり、PostgreSQL の名前の上限の 63 バイトを超えています。")
                                   .arg(name)
                                   .arg(name.toUtf8().size())};
    }
    const qsizetype characters = name.toUcs4().size();
    if (driver == u"QMYSQL" && characters > 64) {
        return DatabaseFailure{
            400,
            QStringLiteral("名前「%1」は %2 文字あり、MySQL の名前の上限の 64 文字を超えています。").arg(name).arg(characters)};
    }
    return {};
}

DatabaseResult<std::unique_ptr<TableStore>> TableStore::open(const DatabaseTarget &target)
{
    // A connection belongs to the thread that opens it: one for each request.
    static std::atomic<quint64> connections = 0;
    // The first connection (at start-up) makes the table of requests.
    static std::mutex requestTableMutex;
    static bool requestTableReady = false;
    const QString name = QStringLiteral("request-%1").arg(++connections);
    DatabaseFailure failure;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(target.driver, name);
        database.setDatabaseName(target.databaseName);
        database.setHostName(target.hostName);
        database.setPort(target.port);
        database.setUserName(target.userName);
        database.setPassword(target.password);
        database.setConnectOptions(target.connectOptions);
        if (database.open()) {
            std::unique_ptr<TableStore> store = target.driver == u"QSQLITE" ? makeSqliteStore(database)
                                                : target.driver == u"QPSQL" ? makePostgresStore(database)
                                                : target.driver == u"QMYSQL"
                                                    ? makeMysqlStore(database)
                                                    : std::unique_ptr<TableStore>(new TableStore(database));
            const std::lock_guard lock(requestTableMutex);
            if (!requestTableReady) {
                if (DatabaseResult<> made = store->createRequestTable(); !made)
                    return made.failure();
                requestTableReady = true;
            }
            return store;
        }
        failure = DatabaseFailure{500, QStringLiteral("データベースに接続できません: %1").arg(database.lastError().text())};
    }
    QSqlDatabase::removeDatabase(name);
    return failure;
}

TableStore::TableStore(QSqlDatabase database)
    : m_database(std::move(database))
{
}

TableStore::~TableStore()
{
    const QString name = m_database.connectionName();
    m_database.close();
    m_database = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

QString TableStore::quoted(const QString &identifier) const
{
    // The driver's own escaping passes names that already look quoted unchanged; quote here.
    const QChar quote = m_database.driver()->escapeIdentifier(QStringLiteral("x"), QSqlDriver::FieldName).front();
    QString text = identifier;
    text.replace(quote, QString(2, quote));
    return quote + text + quote;
}

QString TableStore::quotedList(const QStringList &columns) const
{
    QStringList names;
    for (const QString &column : columns)
        names.append(quoted(column));
    return names.join(u',');
}

QString TableStore::quoted(const CatalogueTable &table) const
{
    return table.schema.isEmpty() ? quoted(table.name) : quoted(table.schema) + u'.' + quoted(table.name);
}

int TableStore::statusFor(const QSqlError &error) const
{
    return error.type() == QSqlError::StatementError ? 400 : 500;
}

DatabaseFailure TableStore::failure(const QSqlError &error, const QString &tableName, qsizetype row) const
{
    return insertFailure(statusFor(error), tableName, row, error.databaseText().isEmpty() ? error.text() : error.databaseText());
}

DatabaseResult<> TableStore::execute(const QString &statement, const QString &tableName)
{
    QSqlQuery query(m_database);
    if (!query.exec(statement))
        return failure(query.lastError(), tableName);
    return {};
}

DatabaseResult<> TableStore::lockName(const QString &statement, const QString &schema, const QString &table)
{
    QSqlQuery query(m_database);
    query.prepare(statement);
    query.addBindValue(schema);
    query.addBindValue(table);
    if (!query.exec())
        return failure(query.lastError(), table);
    if (!query.next() || !query.value(0).toBool())
        return insertFailure(500, table, 0, QStringLiteral("表を作る順番を待ちきれませんでした。"));
    return {};
}

DatabaseResult<QStringList> TableStore::firstColumn(const QString &statement, const QVariantList &values, const QString &tableName)
{
    QSqlQuery query(m_database);
    query.prepare(statement);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return catalogueFailure(tableName);
    QStringList column;
    while (query.next())
        column.append(query.value(0).toString());
    return column;
}

DatabaseResult<> TableStore::begin(const QString &tableName)
{
    if (!m_database.transaction())
        return failure(m_database.lastError(), tableName);
    return {};
}

DatabaseResult<> TableStore::commit(const QString &tableName)
{
    if (!m_database.commit())
        return failure(m_database.lastError(), tableName);
    return {};
}

void TableStore::rollback()
{
    m_database.rollback();
}

DatabaseResult<> TableStore::serializeCreation(const QString &, const QString &)
{
    return {};
}

DatabaseResult<> TableStore::createRequestTable()
{
    // Names of the request table's own, short enough for every database's keys.
    QSqlQuery query(m_database);
    if (query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (request_id VARCHAR(64) NOT NULL, "
                                  "table_name VARCHAR(255) NOT NULL, row_count BIGINT NOT NULL, "
                                  "inserted_at VARCHAR(19) NOT NULL, PRIMARY KEY (request_id, table_name))")
                       .arg(kRequestTable))
        || m_database.tables().contains(kRequestTable, Qt::CaseInsensitive)) // made by the administrator
        return {};
    return DatabaseFailure{
        500, QStringLiteral("挿入した要求を記録する表「%1」を作れません: %2").arg(kRequestTable, query.lastError().text())};
}

DatabaseResult<std::optional<RecordedRequest>> TableStore::recordedRequest(const QString &requestId, const QString &recordedName,
                                                                           const QString &tableName)
{
    QSqlQuery query(m_database);
    query.prepare(
        QStringLiteral("SELECT row_count, inserted_at FROM %1 WHERE request_id = ? AND table_name = ?").arg(kRequestTable));
    query.addBindValue(requestId);
    query.addBindValue(recordedName);
    if (!query.exec()) {
        return DatabaseFailure{
            500, QStringLiteral("挿入済みの要求の記録（表「%1」）を読めませんでした（表「%2」）。").arg(kRequestTable, tableName)};
    }
    if (!query.next())
        return std::optional<RecordedRequest>();
    return std::optional(RecordedRequest{query.value(0).toLongLong(), query.value(1).toString()});
}

DatabaseResult<> TableStore::recordRequest(const QString &requestId, const QString &tableName, qint64 rows)
{
    QSqlQuery query(m_database);
    query.prepare(
        QStringLiteral("INSERT INTO %1 (request_id, table_name, row_count, inserted_at) VALUES (?, ?, ?, ?)").arg(kRequestTable));
    query.addBindValue(requestId);
    query.addBindValue(tableName);
    query.addBindValue(rows);
    query.addBindValue(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    if (!query.exec())
        return failure(query.lastError(), tableName);
    return {};
}

DatabaseFailure TableStore::catalogueFailure(const QString &tableName) const
{
    return {500, QStringLiteral("データベースの表の一覧を読めませんでした（表「%1」）。").arg(tableName)};
}

DatabaseResult<QList<CatalogueTable>> TableStore::tables(const QString &)
{
    QList<CatalogueTable> tables;
    for (const QString &name : m_database.tables(QSql::Tables))
        tables.append({QString(), name, true});
    return tables;
}

DatabaseResult<QStringList> TableStore::columns(const CatalogueTable &table, const QString &)
{
    const QSqlRecord record = m_database.record(quoted(table));
    QStringList names;
    for (int i = 0; i < record.count(); ++i)
        names.append(record.fieldName(i));
    return names;
}

DatabaseResult<> TableStore::createTable(const CatalogueTable &table, const QStringList &columns)
{
    QStringList definitions;
    for (const QString &column : columns)
        definitions.append(quoted(column) + QStringLiteral(" TEXT"));
    QSqlQuery query(m_database);
    if (!query.exec(QStringLiteral("CREATE TABLE %1 (%2)").arg(quoted(table), definitions.join(QStringLiteral(", ")))))
        return failure(query.lastError(), table.name);
    return {};
}

DatabaseResult<> TableStore::insert(const CatalogueTable &table, const QStringList &columns, const RowDocument &rows)
{
    QSqlQuery query(m_database);
    const QString placeholders = QStringList(columns.size(), QStringLiteral("?")).join(u',');
    if (!query.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(quoted(table), quotedList(columns), placeholders)))
        return failure(query.lastError(), table.name);
    const QVariant null(QMetaType::fromType<QString>());
    std::vector<const char *> values;
    for (qsizetype row = 0; row < rows.rowCount(); ++row) {
        if (row % kRowsPerProbe == 0 && !clientConnected())
            return clientGone(table.name);
        rows.fillRow(row, values);
        for (qsizetype column = 0; column < rows.columnCount(); ++column) {
            const char *value = values[size_t(column)];
            query.bindValue(int(column), value ? QVariant(QString::fromUtf8(value)) : null);
        }
        if (!query.exec())
            return failure(query.lastError(), table.name, row + 1);
    }
    return {};
}

} // namespace tessaly::receiver
