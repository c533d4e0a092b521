#include "receiver/InsertService.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace tessaly::receiver {

namespace {

Answer refusal(const QString &text)
{
    return {400, text, -1};
}

Answer fromFailure(const DatabaseFailure &failure)
{
    return {failure.status, failure.text, -1};
}

// A table name as the request gives it: "schema.table", or a table of the default schema.
struct TableName {
    QString schema;
    QString table;
};

// Schemas that do not persist or that belong to the database itself, and tables of its own:
// rows sent there would vanish or reach the database's catalogue.
bool isReserved(const TableName &name)
{
    static const QStringList kSchemas = {u"temp"_qs, u"information_schema"_qs, u"mysql"_qs, u"sys"_qs, u"performance_schema"_qs};
    const QString schema = name.schema.toCaseFolded();
    const QString table = name.table.toCaseFolded();
    return kSchemas.contains(schema) || schema.startsWith(u"pg_") || table.startsWith(u"sqlite_") || table.startsWith(u"pg_")
           || table == TableStore::kRequestTable;
}

Result<TableName, Answer> splitTableName(const QString &text)
{
    const qsizetype dot = text.indexOf(u'.');
    const TableName name{dot < 0 ? QString() : text.left(dot), text.mid(dot + 1)};
    if (name.table.isEmpty() || (dot >= 0 && name.schema.isEmpty()))
        return refusal(QStringLiteral("表名「%1」が正しくありません。「表名」か「スキーマ.表名」で指定して下さい。").arg(text));
    if (isReserved(name)) {
        return refusal(
            QStringLiteral("表「%1」には挿入できません。一時的なスキーマやデータベース自身の表には送れません。").arg(text));
    }
    return name;
}

// An identifier the sender made: letters, digits, '-', '_' and '.', 64 at most.
bool isRequestId(const QString &text)
{
    return text.size() <= 64 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'_'
                      || c == u'.';
           });
}

QString qualifiedName(const CatalogueTable &table)
{
    return table.schema.isEmpty() ? table.name : table.schema + u'.' + table.name;
}

// The catalogue's entries for a name: exactly first, then ignoring case. A name is a table's own
// where its schema needs no naming, or "schema.table".
QList<CatalogueTable> tablesNamed(const QList<CatalogueTable> &tables, const QString &name)
{
    for (const Qt::CaseSensitivity sensitivity : {Qt::CaseSensitive, Qt::CaseInsensitive}) {
        QList<CatalogueTable> found;
        for (const CatalogueTable &table : tables) {
            if ((table.visible && table.name.compare(name, sensitivity) == 0)
                || QString(table.schema + u'.' + table.name).compare(name, sensitivity) == 0)
                found.append(table);
        }
        if (!found.isEmpty())
            return found;
    }
    return {};
}

// A table's columns by name: exactly first, then ignoring case, each a hash look-up.
class ColumnIndex {
public:
    explicit ColumnIndex(const QStringList &columns)
    {
        for (const QString &column : columns) {
            m_exact.insert(column);
            m_folded[column.toCaseFolded()].append(column);
        }
    }

    // The columns `name` matches: the one of that exact name, else every one ignoring case.
    QStringList candidates(const QString &name) const
    {
        return m_exact.contains(name) ? QStringList{name} : m_folded.value(name.toCaseFolded());
    }

private:
    QSet<QString> m_exact;
    QHash<QString, QStringList> m_folded;
};

class Insertion {
public:
    Insertion(TableStore &store, const RowDocument &rows, const QString &tableName, const TableName &name,
              const QString &requestId, const InsertSettings &settings)
        : m_store(store)
        , m_rows(rows)
        , m_tableName(tableName)
        , m_name(name)
        , m_requestId(requestId)
        , m_settings(settings)
    {
    }

    // The rows inserted, or the answer that ends the request.
    Result<void, Answer> run()
    {
        if (m_settings.createTables) {
            if (DatabaseResult<> done = m_store.serializeCreation(m_name.schema.toCaseFolded(), m_name.table.toCaseFolded()); !done)
                return fromFailure(done.failure());
        }
        Result<std::optional<CatalogueTable>, Answer> found = findTable();
        if (!found)
            return found.failure();
        Result<CatalogueTable, Answer> table = *found ? Result<CatalogueTable, Answer>(**found) : createTable();
        if (!table)
            return table.failure();
        const Result<QStringList, Answer> columns = *found ? matchColumns(*table)
                                                           : Result<QStringList, Answer>(m_rows.distinctNames());
        if (!columns)
            return columns.failure();
        if (!m_requestId.isEmpty()) {
            m_recordedName = qualifiedName(*table);
            if (std::optional<Answer> recorded = alreadyInserted())
                return *recorded;
            // Recorded first: a concurrent request with the same identifier waits here for this
            // one's COMMIT, then fails and finds the record.
            if (DatabaseResult<> done = m_store.recordRequest(m_requestId, m_recordedName, m_rows.rowCount()); !done) {
                m_recordFailed = true;
                return fromFailure(done.failure());
            }
        }
        if (DatabaseResult<> done = m_store.insert(*table, *columns, m_rows); !done)
            return fromFailure(done.failure());
        return {};
    }

    // After a failed run, outside its transaction: the answer when the failure was only that a
    // concurrent request with the same identifier had inserted the rows.
    std::optional<Answer> insertedMeanwhile() { return m_recordFailed ? alreadyInserted() : std::nullopt; }

private:
    std::optional<Answer> alreadyInserted()
    {
        const DatabaseResult<std::optional<RecordedRequest>> recorded = m_store.recordedRequest(m_requestId, m_recordedName,
                                                                                                m_tableName);
        if (!recorded)
            return fromFailure(recorded.failure());
        if (!*recorded)
            return std::nullopt;
        return Answer{
            200, QStringLiteral("この文書は既に挿入されています（%1件、%2）。").arg((*recorded)->rows).arg((*recorded)->time), 0};
    }

    // The table the name finds; none when it finds none and tables may be created.
    Result<std::optional<CatalogueTable>, Answer> findTable()
    {
        const DatabaseResult<QList<CatalogueTable>> tables = m_store.tables(m_tableName);
        if (!tables)
            return fromFailure(tables.failure());
        const QList<CatalogueTable> found = tablesNamed(*tables, m_tableName);
        if (found.size() > 1) {
            QStringList names;
            for (const CatalogueTable &candidate : found)
                names.append(qualifiedName(candidate));
            return refusal(QStringLiteral("表「%1」に当たる表が複数あります（「%2」）。どれか 1 つを名前の通りに指定して下さい。")
                               .arg(m_tableName, names.join(QStringLiteral("」「"))));
        }
        if (found.size() == 1)
            return std::optional(found.first());
        if (!m_settings.createTables)
            return refusal(QStringLiteral("表「%1」はデータベースにありません。").arg(m_tableName));
        return std::optional<CatalogueTable>();
    }

    // A new table with a text column for each column of the document; "schema.table" makes it
    // in that schema.
    Result<CatalogueTable, Answer> createTable()
    {
        if (m_rows.columnCount() == 0)
            return refusal(QStringLiteral("XML 文書に列がないため、表「%1」を作れません。").arg(m_tableName));
        if (DatabaseResult<> done = m_store.createTable({m_name.schema, m_name.table, true}, m_rows.distinctNames()); !done)
            return fromFailure(done.failure());
        const DatabaseResult<QList<CatalogueTable>> tables = m_store.tables(m_tableName);
        if (!tables)
            return fromFailure(tables.failure());
        const QList<CatalogueTable> found = tablesNamed(*tables, m_tableName);
        if (found.size() != 1)
            return fromFailure(m_store.catalogueFailure(m_tableName));
        return found.first();
    }

    // The table's column for each of the document's, in the document's order.
    Result<QStringList, Answer> matchColumns(const CatalogueTable &table)
    {
        QStringList columns;
        const DatabaseResult<QStringList> existing = m_store.columns(table, m_tableName);
        if (!existing)
            return fromFailure(existing.failure());
        const ColumnIndex index(*existing);
        const QStringList wanted = m_rows.distinctNames();
        const QStringList &headings = m_rows.headings();
        QHash<QString, QString> headingOfColumn;
        for (qsizetype c = 0; c < wanted.size(); ++c) {
            const QStringList candidates = index.candidates(wanted.at(c));
            if (candidates.size() > 1) {
                return refusal(QStringLiteral("列「%1」に当たる列が表「%2」に複数あります（「%3」）。")
                                   .arg(headings.at(c), m_tableName, candidates.join(QStringLiteral("」「"))));
            }
            if (candidates.isEmpty() && wanted.at(c) != headings.at(c)) {
                return refusal(
                    QStringLiteral("見出し「%1」の列が複数あります。表「%2」には 2 つ目以降を入れる列「%3」がありません。")
                        .arg(headings.at(c), m_tableName, wanted.at(c)));
            }
            if (candidates.isEmpty())
                return refusal(QStringLiteral("列「%1」は表「%2」にありません。").arg(headings.at(c), m_tableName));
            const QString &column = candidates.first();
            if (headingOfColumn.contains(column)) {
                return refusal(QStringLiteral("見出し「%1」と「%2」が表「%3」の同じ列「%4」に当たります。")
                                   .arg(headingOfColumn.value(column), headings.at(c), m_tableName, column));
            }
            headingOfColumn.insert(column, headings.at(c));
            columns.append(column);
        }
        return columns;
    }

    TableStore &m_store;
    const RowDocument &m_rows;
    const QString m_tableName;
    const TableName m_name;
    const QString m_requestId;
    const InsertSettings &m_settings;
    QString m_recordedName;
    bool m_recordFailed = false;
};

// 400 for the first table, schema or column name that the database would cut short.
Result<void, Answer> checkNameLengths(const TableStore &store, const TableName &name, const RowDocument &rows)
{
    QStringList names = rows.distinctNames();
    names.prepend(name.table);
    if (!name.schema.isEmpty())
        names.prepend(name.schema);
    for (const QString &each : names) {
        if (DatabaseResult<> done = store.nameTooLong(each); !done)
            return fromFailure(done.failure());
    }
    return {};
}

} // namespace

Answer insertForm(InsertForm form, const InsertSettings &settings, const std::function<bool()> &clientConnected)
{
    if (form.command != u"insert")
        return refusal(QStringLiteral("コマンド「%1」には対応していません。command は insert にして下さい。").arg(form.command));
    const QString tableName = form.tableName.trimmed();
    if (tableName.isEmpty())
        return refusal(QStringLiteral("表名（tabName）がありません。"));
    if (!isRequestId(form.requestId))
        return refusal(QStringLiteral("requestId は英数字と「-」「_」「.」の 64 文字までにして下さい。"));
    const Result<TableName, Answer> name = splitTableName(tableName);
    if (!name)
        return name.failure();
    const Result<RowDocument> rows = RowDocument::parse(std::move(form.documentUtf8), settings.emptyAsText);
    if (!rows)
        return refusal(rows.failure().message);

    DatabaseResult<std::unique_ptr<TableStore>> opened = TableStore::open(settings.database);
    if (!opened)
        return fromFailure(opened.failure());
    const std::unique_ptr<TableStore> store = std::move(opened).value();
    store->setClientProbe(clientConnected);
    if (const Result<void, Answer> fits = checkNameLengths(*store, *name, *rows); !fits)
        return fits.failure();
    if (!clientConnected())
        return fromFailure(store->clientGone(tableName));
    if (DatabaseResult<> begun = store->begin(tableName); !begun)
        return fromFailure(begun.failure());
    Insertion insertion(*store, *rows, tableName, *name, form.requestId, settings);
    if (const Result<void, Answer> inserted = insertion.run(); !inserted) {
        store->rollback();
        return insertion.insertedMeanwhile().value_or(inserted.failure());
    }
    // An answer nobody receives would leave the sender unsure: it sends again, and the rows
    // would land twice.
    if (!clientConnected()) {
        store->rollback();
        return fromFailure(store->clientGone(tableName));
    }
    if (DatabaseResult<> committed = store->commit(tableName); !committed) {
        store->rollback();
        return fromFailure(committed.failure());
    }
    return {200, QStringLiteral("%1件の行を挿入しました。").arg(rows->rowCount()), rows->rowCount()};
}

} // namespace tessaly::receiver
