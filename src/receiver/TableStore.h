#pragma once

#include "receiver/RowDocument.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

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

    // nothing, and a Japanese *error, for a text of none of these forms.
    static std::optional<DatabaseTarget> parse(const QString &text, QString *error);
};

// A table as the catalogue names it. `visible`: reachable without naming its schema.
struct CatalogueTable {
    QString schema;
    QString name;
    bool visible = true;
};

// Why a request failed at the database: 400 when the database refused what the request holds
// (a value, a name), 500 when the database itself failed. The text is the answer's line.
struct Failure {
    int status = 500;
    QString text;
};

// One connection for one request, with its transaction, catalogue and insert. Subclasses take
// the fast way each database offers; the base class works through Qt SQL alone.
class TableStore {
public:
    static std::unique_ptr<TableStore> open(const DatabaseTarget &target, std::optional<Failure> *failure);
    virtual ~TableStore();
    TableStore(const TableStore &) = delete;
    TableStore &operator=(const TableStore &) = delete;

    virtual std::optional<Failure> begin();
    virtual std::optional<Failure> commit();
    virtual void rollback();
    // Makes concurrent requests that may create this table wait for each other.
    virtual std::optional<Failure> serializeCreation(const QString &tableName);

    virtual std::optional<QList<CatalogueTable>> tables();
    virtual std::optional<QStringList> columns(const CatalogueTable &table);
    std::optional<Failure> createTable(const CatalogueTable &table, const QStringList &columns);
    // Inserts every row into the named columns, in the order of the document's columns.
    virtual std::optional<Failure> insert(const CatalogueTable &table, const QStringList &columns, const RowDocument &rows);

    // An identifier in the database's quotes, with quotes inside it doubled.
    QString quoted(const QString &identifier) const;
    QString quoted(const CatalogueTable &table) const;

    Failure failure(const QSqlError &error, const QString &tableName = {}, qsizetype row = 0) const;

protected:
    explicit TableStore(QSqlDatabase database);
    // 400 or 500 for a native error code of this database.
    virtual int statusFor(const QSqlError &error) const;
    QSqlDatabase &database() { return m_database; }
    std::optional<Failure> execute(const QString &statement);
    // The first column of a catalogue query's rows, the values bound in order; nothing on failure.
    std::optional<QStringList> firstColumn(const QString &statement, const QVariantList &values);

private:
    QSqlDatabase m_database;
};

// The answer's text for a value the database refused, or for a failing database.
Failure insertFailure(int status, const QString &tableName, qsizetype row, const QString &message);

std::unique_ptr<TableStore> makeSqliteStore(QSqlDatabase database);
std::unique_ptr<TableStore> makePostgresStore(QSqlDatabase database);

} // namespace tessaly::receiver
