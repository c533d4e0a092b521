// MySQL and MariaDB: Qt SQL for everything, and a named lock for concurrent table creation.
#include "receiver/TableStore.h"

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
    DatabaseResult<> serializeCreation(const QString &schema, const QString &table) override
    {
        return lockName(
            QStringLiteral(
                "SELECT GET_LOCK(CONCAT('tessaly-', MD5(CONCAT(COALESCE(NULLIF(?, ''), DATABASE()), '.', ?))), %1) = 1")
                .arg(kStatementSeconds),
            schema, table);
    }
};

} // namespace

std::unique_ptr<TableStore> makeMysqlStore(QSqlDatabase database)
{
    return std::make_unique<MysqlStore>(std::move(database));
}

} // namespace tessaly::receiver
