#pragma once

#include "core/Result.h"
#include "receiver/RowDocument.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <memory>
#include <optional>

class QSqlError;

namespace tessaly::receiver {

// The --database argument: sqlite:FILE, postgresql://USER@HOST:PORT/DB, mysql://USER@HOST:PORT/DB
// or odbc:DSN, turned into a Qt SQL driver and its connection parameters.
struct DatabaseTarget {
    QString driver;
    QString databaseName;
    QString hostName;
    int port = -1;
    QString userName;
    QString password;
    QString connectOptions;

    // Fails for a text of none of these forms.
    static Result<DatabaseTarget> parse(const QString &text);
};

// A table as the catalogue names it. `visible`: reachable without naming its schema.
struct CatalogueTable {
    QString schema;
    QString name;
    bool visible = true;
};

// Why a request failed at the database: 400 when the database refused what the request holds
// (a value, a name), 500 when the database itself failed, 499 (for the log only) when the client
// went away and the work stopped. The text is the answer's line.
struct DatabaseFailure {
    int status = 500;
    QString text;
};

// What a step at the database gave, or why it failed.
template <typename T = void> using DatabaseResult = Result<T, DatabaseFailure>;

// Whether the client still waits for the answer; asked between batches of rows and before COMMIT.
using ClientProbe = std::function<bool()>;

// The longest any one statement may take, and a lock may be waited for, before the request fails
// with 500; a connection is given up after kConnectSeconds.
constexpr int kStatementSeconds = 60;
constexpr int kConnectSeconds = 10;

// An earlier request's record: the same document already inserted into the table.
struct RecordedRequest {
    qint64 rows = 0;
    QString time; // YYYY-MM-DD HH:MM:SS, the receiver's local time
};

// One connection for one request, with its transaction, catalogue and insert. Subclasses take
// the fast way each database offers; the base class works through Qt SQL alone.
class TableStore {
public:
    static DatabaseResult<std::unique_ptr<TableStore>> open(const DatabaseTarget &target);
    virtual ~TableStore();
    TableStore(const TableStore &) = delete;
    TableStore &operator=(const TableStore &) = delete;

    // The table's name is for messages only.
    virtual DatabaseResult<> begin(const QString &tableName);
    virtual DatabaseResult<> commit(const QString &tableName);
    virtual void rollback();
    // Makes concurrent requests that may create this table wait for each other. `schema` and
    // `table` are case-folded; an empty schema is the one the table would be created in.
    virtual DatabaseResult<> serializeCreation(const QString &schema, const QString &table);
    // 400 naming a table or column name that the database would cut short, with its limit.
    DatabaseResult<> nameTooLong(const QString &name) const;
    void setClientProbe(ClientProbe probe) { m_clientConnected = std::move(probe); }
    bool clientConnected() const { return m_clientConnected(); }

    // The catalogue's tables, and a table's columns; `tableName`, the request's, is for messages.
    virtual DatabaseResult<QList<CatalogueTable>> tables(const QString &tableName);
    virtual DatabaseResult<QStringList> columns(const CatalogueTable &table, const QString &tableName);
    // 500: the catalogue could not be read.
    DatabaseFailure catalogueFailure(const QString &tableName) const;
    DatabaseResult<> createTable(const CatalogueTable &table, const QStringList &columns);
    // Inserts every row into the named columns, in the order of the document's columns; stops
    // when the client has gone.
    virtual DatabaseResult<> insert(const CatalogueTable &table, const QStringList &columns, const RowDocument &rows);

    // The requests already inserted, in a table of the receiver's own (kRequestTable), made at the
    // first connection: identifier, table, rows and time, written in the transaction of the rows.
    static constexpr QLatin1String kRequestTable{"tessaly_requests"};
    // An empty record when the identifier is not recorded under `recordedName`.
    DatabaseResult<std::optional<RecordedRequest>> recordedRequest(const QString &requestId, const QString &recordedName,
                                                                   const QString &tableName);
    DatabaseResult<> recordRequest(const QString &requestId, const QString &tableName, qint64 rows);

    // An identifier in the database's quotes, with quotes inside it doubled.
    QString quoted(const QString &identifier) const;
    // The columns' names quoted, separated by commas, as a statement lists them.
    QString quotedList(const QStringList &columns) const;
    QString quoted(const CatalogueTable &table) const;

    DatabaseFailure failure(const QSqlError &error, const QString &tableName = {}, qsizetype row = 0) const;
    // Rows between two questions to the client probe.
    static constexpr qsizetype kRowsPerProbe = 1024;
    DatabaseFailure clientGone(const QString &tableName) const;

protected:
    explicit TableStore(QSqlDatabase database);
    // 400 or 500 for a native error code of this database.
    virtual int statusFor(const QSqlError &error) const;
    QSqlDatabase &database() { return m_database; }
    DatabaseResult<> execute(const QString &statement, const QString &tableName = {});
    // Runs a statement that takes a lock named after the schema and table, bound in that order,
    // and answers true once it holds it.
    DatabaseResult<> lockName(const QString &statement, const QString &schema, const QString &table);
    // The first column of a catalogue query's rows, the values bound in order.
    DatabaseResult<QStringList> firstColumn(const QString &statement, const QVariantList &values, const QString &tableName);

private:
    DatabaseResult<> createRequestTable();

    QSqlDatabase m_database;
    ClientProbe m_clientConnected = [] { return true; };
};

// The answer's text for a value the database refused, or for a failing database.
DatabaseFailure insertFailure(int status, const QString &tableName, qsizetype row, const QString &message);

std::unique_ptr<TableStore> makeSqliteStore(QSqlDatabase database);
std::unique_ptr<TableStore> makePostgresStore(QSqlDatabase database);
std::unique_ptr<TableStore> makeMysqlStore(QSqlDatabase database);

} // namespace tessaly::receiver
