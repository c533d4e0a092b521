// SQLite: the write lock taken at the start, and rows bound straight from the document's UTF-8
// text through the sqlite3 handle, without a QString per value.
#include "receiver/TableStore.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace tessaly::receiver {

namespace {

// Values the database refused (a type, a constraint, a size) rather than a failing database.
bool refusesContent(int code)
{
    switch (code & 0xff) {
    case SQLITE_ERROR:
    case SQLITE_TOOBIG:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
        return true;
    default:
        return false;
    }
}

class SqliteStore : public TableStore {
public:
    explicit SqliteStore(QSqlDatabase database)
        : TableStore(std::move(database))
    {
        if (sqlite3 *connection = handle())
            sqlite3_busy_handler(connection, waitWhileClientWaits, this);
    }

    // IMMEDIATE: a deferred transaction that read the catalogue could not wait for the write
    // lock later; it would fail at once when another request holds it.
    DatabaseResult<> begin(const QString &tableName) override
    {
        DatabaseResult<> begun = execute(QStringLiteral("BEGIN IMMEDIATE"), tableName);
        if (!begun && !clientConnected())
            return clientGone(tableName);
        return begun;
    }
    DatabaseResult<> commit(const QString &tableName) override { return execute(QStringLiteral("COMMIT"), tableName); }
    void rollback() override { (void)execute(QStringLiteral("ROLLBACK")); }

    DatabaseResult<QList<CatalogueTable>> tables(const QString &tableName) override
    {
        QSqlQuery query(database());
        if (!query.exec(QStringLiteral("SELECT schema, name FROM pragma_table_list "
                                       "WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' ESCAPE '!' "
                                       "ORDER BY schema = 'temp' DESC")))
            return catalogueFailure(tableName);
        QList<CatalogueTable> tables;
        while (query.next()) {
            const QString schema = query.value(0).toString();
            tables.append({schema, query.value(1).toString(), schema == u"main" || schema == u"temp"});
        }
        return tables;
    }

    DatabaseResult<QStringList> columns(const CatalogueTable &table, const QString &tableName) override
    {
        return firstColumn(QStringLiteral("SELECT name FROM pragma_table_info(?, ?)"), {table.name, table.schema}, tableName);
    }

    DatabaseResult<> insert(const CatalogueTable &table, const QStringList &columns, const RowDocument &rows) override
    {
        sqlite3 *connection = handle();
        if (!connection)
            return TableStore::insert(table, columns, rows);

        const QByteArray statement = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                         .arg(quoted(table), quotedList(columns),
                                              QStringList(columns.size(), QStringLiteral("?")).join(u','))
                                         .toUtf8();
        sqlite3_stmt *insert = nullptr;
        if (sqlite3_prepare_v2(connection, statement.constData(), int(statement.size()), &insert, nullptr) != SQLITE_OK)
            return nativeFailure(connection, table, 0);
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> finalizer(insert, sqlite3_finalize);
        std::vector<const char *> values;
        for (qsizetype row = 0; row < rows.rowCount(); ++row) {
            if (row % kRowsPerProbe == 0 && !clientConnected())
                return clientGone(table.name);
            rows.fillRow(row, values);
            for (qsizetype column = 0; column < rows.columnCount(); ++column) {
                const char *value = values[size_t(column)];
                if (value)
                    sqlite3_bind_text(insert, int(column + 1), value, -1, SQLITE_STATIC);
                else
                    sqlite3_bind_null(insert, int(column + 1));
            }
            if (sqlite3_step(insert) != SQLITE_DONE)
                return nativeFailure(connection, table, row + 1);
            sqlite3_reset(insert);
        }
        return {};
    }

protected:
    int statusFor(const QSqlError &error) const override { return refusesContent(error.nativeErrorCode().toInt()) ? 400 : 500; }

private:
    sqlite3 *handle()
    {
        const QVariant handle = database().driver()->handle();
        return qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3 *const *>(handle.constData()) : nullptr;
    }

    // Waits for another request's lock as long as a statement may take, and only while the
    // client still waits for the answer.
    static int waitWhileClientWaits(void *store, int attempts)
    {
        constexpr int kPauseMilliseconds = 20;
        if (attempts * kPauseMilliseconds >= kStatementSeconds * 1000 || !static_cast<SqliteStore *>(store)->clientConnected())
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMilliseconds));
        return 1;
    }

    static DatabaseFailure nativeFailure(sqlite3 *connection, const CatalogueTable &table, qsizetype row)
    {
        return insertFailure(refusesContent(sqlite3_extended_errcode(connection)) ? 400 : 500, table.name, row,
                             QString::fromUtf8(sqlite3_errmsg(connection)));
    }
};

} // namespace

std::unique_ptr<TableStore> makeSqliteStore(QSqlDatabase database)
{
    return std::make_unique<SqliteStore>(std::move(database));
}

} // namespace tessaly::receiver
