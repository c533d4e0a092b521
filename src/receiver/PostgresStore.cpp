// PostgreSQL: the catalogue read directly (Qt's table list leaves out names starting with "Inv"),
// and the rows sent with COPY through the connection's PGconn: one round trip instead of one
// per row, inside the same transaction.
#include "receiver/TableStore.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <libpq-fe.h>

#include <cstring>

namespace tessaly::receiver {

namespace {

constexpr qsizetype kCopyPiece = 1 << 20;

// SQLSTATE classes of refused content: data exception, integrity constraint violation, syntax
// error or access rule violation, invalid schema name.
int statusForState(const QByteArray &sqlState)
{
    static const QByteArrayList contentClasses = {"22", "23", "42", "3F"};
    return contentClasses.contains(sqlState.left(2)) ? 400 : 500;
}

// A value in COPY's text format: backslash, tab and line ends escaped.
void appendCopyText(QByteArray &out, const char *value)
{
    while (*value) {
        const size_t plain = std::strcspn(value, "\\\t\n\r");
        out.append(value, qsizetype(plain));
        value += plain;
        switch (*value) {
        case '\0':
            return;
        case '\t':
            out.append("\\t");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        default:
            out.append("\\\\");
        }
        ++value;
    }
}

class PostgresStore : public TableStore {
public:
    explicit PostgresStore(QSqlDatabase database)
        : TableStore(std::move(database))
    {
    }

    // Locks the name as it will be matched: "race", "RACE" and "public.race" are one.
    DatabaseResult<> serializeCreation(const QString &schema, const QString &table) override
    {
        return lockName(
            QStringLiteral(
                "SELECT true FROM pg_advisory_xact_lock(hashtext(coalesce(nullif(?, ''), current_schema()) || '.' || ?))"),
            schema, table);
    }

    DatabaseResult<QList<CatalogueTable>> tables(const QString &tableName) override
    {
        QSqlQuery query(database());
        if (!query.exec(QStringLiteral(
                "SELECT n.nspname, c.relname, pg_table_is_visible(c.oid) FROM pg_class c "
                "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.relkind IN ('r', 'p') "
                "AND n.nspname NOT IN ('pg_catalog', 'information_schema') AND n.nspname NOT LIKE 'pg!_toast%' ESCAPE '!'")))
            return catalogueFailure(tableName);
        QList<CatalogueTable> tables;
        while (query.next())
            tables.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toBool()});
        return tables;
    }

    DatabaseResult<QStringList> columns(const CatalogueTable &table, const QString &tableName) override
    {
        return firstColumn(QStringLiteral("SELECT a.attname FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
                                          "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = ? AND c.relname = ? "
                                          "AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum"),
                           {table.schema, table.name}, tableName);
    }

    DatabaseResult<> insert(const CatalogueTable &table, const QStringList &columns, const RowDocument &rows) override
    {
        PGconn *connection = handle();
        if (!connection)
            return TableStore::insert(table, columns, rows);

        const QByteArray statement = QStringLiteral("COPY %1 (%2) FROM STDIN").arg(quoted(table), quotedList(columns)).toUtf8();
        PGresult *started = PQexec(connection, statement.constData());
        if (PQresultStatus(started) != PGRES_COPY_IN)
            return resultFailure(started, table);
        PQclear(started);

        QByteArray piece;
        piece.reserve(kCopyPiece + 4096);
        bool sent = true;
        bool clientGoneAway = false;
        std::vector<const char *> values;
        for (qsizetype row = 0; row < rows.rowCount() && sent && !clientGoneAway; ++row) {
            clientGoneAway = row % kRowsPerProbe == 0 && !clientConnected();
            rows.fillRow(row, values);
            for (qsizetype column = 0; column < rows.columnCount(); ++column) {
                if (column > 0)
                    piece.append('\t');
                if (const char *value = values[size_t(column)])
                    appendCopyText(piece, value);
                else
                    piece.append("\\N");
            }
            piece.append('\n');
            if (piece.size() >= kCopyPiece || row + 1 == rows.rowCount()) {
                sent = PQputCopyData(connection, piece.constData(), int(piece.size())) == 1;
                piece.clear();
            }
        }
        if (clientGoneAway) {
            PQputCopyEnd(connection, "client gone");
            while (PGresult *result = PQgetResult(connection))
                PQclear(result);
            return clientGone(table.name);
        }
        if (!sent || PQputCopyEnd(connection, nullptr) != 1) {
            const QString message = QString::fromUtf8(PQerrorMessage(connection)).trimmed();
            while (PGresult *result = PQgetResult(connection))
                PQclear(result);
            return insertFailure(500, table.name, 0, message);
        }
        return resultFailure(PQgetResult(connection), table);
    }

protected:
    int statusFor(const QSqlError &error) const override { return statusForState(error.nativeErrorCode().toLatin1()); }

private:
    // The driver's connection; Qt names its type after the struct behind the PGconn typedef.
    PGconn *handle()
    {
        const QVariant handle = database().driver()->handle();
        if (qstrcmp(handle.typeName(), "pg_conn*") != 0 && qstrcmp(handle.typeName(), "PGconn*") != 0)
            return nullptr;
        return *static_cast<PGconn *const *>(handle.constData());
    }

    // Clears the result, and the rest of them; fails when the command failed.
    DatabaseResult<> resultFailure(PGresult *result, const CatalogueTable &table)
    {
        PGconn *connection = handle();
        DatabaseResult<> outcome;
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            const char *primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
            const char *context = PQresultErrorField(result, PG_DIAG_CONTEXT);
            QString message = QString::fromUtf8(primary ? primary : PQerrorMessage(connection)).trimmed();
            if (context)
                message += QStringLiteral("（%1）").arg(QString::fromUtf8(context));
            outcome = insertFailure(statusForState(PQresultErrorField(result, PG_DIAG_SQLSTATE)), table.name, 0, message);
        }
        PQclear(result);
        while (PGresult *more = PQgetResult(connection))
            PQclear(more);
        return outcome;
    }
};

} // namespace

std::unique_ptr<TableStore> makePostgresStore(QSqlDatabase database)
{
    return std::make_unique<PostgresStore>(std::move(database));
}

} // namespace tessaly::receiver
