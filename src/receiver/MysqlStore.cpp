// MySQL and MariaDB: Qt SQL for everything, and a named lock for concurrent table creation.
#include "receiver/TableStore.h"

#include <QSqlError>
#include <QSqlQuery>

namespace tessaly::receiver {

namespace {

class MysqlStore : public TableStore {
public:
    explicit MysqlStore(QSqlDatabase database)
        : TableStore(std::move(database))
    {
    }

    // Locks the name as it will be matched, until the request's connection closes. The lock's
    // own name is at most 64 characters: a digest of the table's.
    std::optional<Failure> serializeCreation(const QString &schema, const QString &table) override
    {
        QSqlQuery query(database());
        query.prepare(QStringLiteral("SELECT GET_LOCK(CONCAT('tessaly-', MD5(CONCAT(COALESCE(NULLIF(?, ''), DATABASE()), '.', ?))), ?)"));
        query.addBindValue(schema);
        query.addBindValue(table);
        query.addBindValue(kStatementSeconds);
        if (!query.exec())
            return failure(query.lastError(), table);
        if (!query.next() || query.value(0).toInt() != 1)
            return insertFailure(500, table, 0, QStringLiteral("表を作る順番を待ちきれませんでした。"));
        return std::nullopt;
    }
};

} // namespace

std::unique_ptr<TableStore> makeMysqlStore(QSqlDatabase database)
{
    return std::make_unique<MysqlStore>(std::move(database));
}

} // namespace tessaly::receiver
