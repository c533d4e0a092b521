#include "receiver/InsertService.h"

#include <QHash>
#include <QRegularExpression>

namespace tessaly::receiver {

namespace {

Answer refusal(const QString &text)
{
    return {400, text, -1};
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

// The table column for each column name: exactly first, then ignoring case.
std::optional<QString> columnNamed(const QStringList &columns, const QString &name, QString *ambiguity)
{
    if (columns.contains(name))
        return name;
    const QStringList found = columns.filter(QRegularExpression(u'^' + QRegularExpression::escape(name) + u'$',
                                                                QRegularExpression::CaseInsensitiveOption));
    if (found.size() > 1)
        *ambiguity = found.join(QStringLiteral("」「"));
    return found.size() == 1 ? std::optional(found.first()) : std::nullopt;
}

class Insertion {
public:
    Insertion(TableStore &store, const RowDocument &rows, const QString &tableName, const InsertSettings &settings)
        : m_store(store)
        , m_rows(rows)
        , m_tableName(tableName)
        , m_settings(settings)
    {
    }

    std::optional<Answer> run()
    {
        if (m_settings.createTables) {
            if (std::optional<Failure> failure = m_store.serializeCreation(m_tableName))
                return fromFailure(*failure);
        }
        std::optional<CatalogueTable> table;
        if (std::optional<Answer> refused = findTable(table))
            return refused;
        QStringList columns;
        if (!table) {
            if (std::optional<Answer> refused = createTable(table))
                return refused;
            columns = m_rows.distinctNames();
        } else if (std::optional<Answer> refused = matchColumns(*table, columns)) {
            return refused;
        }
        if (std::optional<Failure> failure = m_store.insert(*table, columns, m_rows))
            return fromFailure(*failure);
        return std::nullopt;
    }

private:
    static Answer fromFailure(const Failure &failure) { return {failure.status, failure.text, -1}; }

    Answer catalogueFailure() const
    {
        return {500, QStringLiteral("データベースの表の一覧を読めませんでした。"), -1};
    }

    // Sets `table` when the name is found; leaves it empty when tables may be created.
    std::optional<Answer> findTable(std::optional<CatalogueTable> &table)
    {
        const std::optional<QList<CatalogueTable>> tables = m_store.tables();
        if (!tables)
            return catalogueFailure();
        const QList<CatalogueTable> found = tablesNamed(*tables, m_tableName);
        if (found.size() > 1) {
            QStringList names;
            for (const CatalogueTable &candidate : found)
                names.append(candidate.schema.isEmpty() ? candidate.name : candidate.schema + u'.' + candidate.name);
            return refusal(QStringLiteral("表「%1」に当たる表が複数あります（「%2」）。どれか 1 つを名前の通りに指定して下さい。")
                               .arg(m_tableName, names.join(QStringLiteral("」「"))));
        }
        if (found.size() == 1)
            table = found.first();
        else if (!m_settings.createTables)
            return refusal(QStringLiteral("表「%1」はデータベースにありません。").arg(m_tableName));
        return std::nullopt;
    }

    // A new table with a text column for each column of the document; "schema.table" makes it
    // in that schema.
    std::optional<Answer> createTable(std::optional<CatalogueTable> &table)
    {
        if (m_rows.columnCount() == 0)
            return refusal(QStringLiteral("XML 文書に列がないため、表「%1」を作れません。").arg(m_tableName));
        const qsizetype dot = m_tableName.indexOf(u'.');
        const CatalogueTable created{dot > 0 ? m_tableName.left(dot) : QString(), m_tableName.mid(dot + 1), true};
        if (std::optional<Failure> failure = m_store.createTable(created, m_rows.distinctNames()))
            return fromFailure(*failure);
        const std::optional<QList<CatalogueTable>> tables = m_store.tables();
        if (!tables)
            return catalogueFailure();
        const QList<CatalogueTable> found = tablesNamed(*tables, m_tableName);
        if (found.size() != 1)
            return catalogueFailure();
        table = found.first();
        return std::nullopt;
    }

    std::optional<Answer> matchColumns(const CatalogueTable &table, QStringList &columns)
    {
        const std::optional<QStringList> existing = m_store.columns(table);
        if (!existing)
            return catalogueFailure();
        const QStringList wanted = m_rows.distinctNames();
        const QStringList &headings = m_rows.headings();
        QHash<QString, QString> headingOfColumn;
        for (qsizetype c = 0; c < wanted.size(); ++c) {
            QString ambiguity;
            const std::optional<QString> column = columnNamed(*existing, wanted.at(c), &ambiguity);
            if (!ambiguity.isEmpty()) {
                return refusal(QStringLiteral("列「%1」に当たる列が表「%2」に複数あります（「%3」）。")
                                   .arg(headings.at(c), m_tableName, ambiguity));
            }
            if (!column && wanted.at(c) != headings.at(c)) {
                return refusal(QStringLiteral("見出し「%1」の列が複数あります。表「%2」には 2 つ目以降を入れる列「%3」がありません。")
                                   .arg(headings.at(c), m_tableName, wanted.at(c)));
            }
            if (!column)
                return refusal(QStringLiteral("列「%1」は表「%2」にありません。").arg(headings.at(c), m_tableName));
            if (headingOfColumn.contains(*column)) {
                return refusal(QStringLiteral("見出し「%1」と「%2」が表「%3」の同じ列「%4」に当たります。")
                                   .arg(headingOfColumn.value(*column), headings.at(c), m_tableName, *column));
            }
            headingOfColumn.insert(*column, headings.at(c));
            columns.append(*column);
        }
        return std::nullopt;
    }

    TableStore &m_store;
    const RowDocument &m_rows;
    const QString m_tableName;
    const InsertSettings &m_settings;
};

} // namespace

Answer insertForm(InsertForm form, const InsertSettings &settings, const std::function<bool()> &clientConnected)
{
    if (form.command != u"insert")
        return refusal(QStringLiteral("コマンド「%1」には対応していません。command は insert にして下さい。").arg(form.command));
    const QString tableName = form.tableName.trimmed();
    if (tableName.isEmpty())
        return refusal(QStringLiteral("表名（tabName）がありません。"));
    QString error;
    std::optional<RowDocument> rows = RowDocument::parse(std::move(form.documentUtf8), settings.emptyAsText, &error);
    if (!rows)
        return refusal(error);

    std::optional<Failure> failure;
    const std::unique_ptr<TableStore> store = TableStore::open(settings.database, &failure);
    if (!store)
        return {failure->status, failure->text, -1};
    if ((failure = store->begin()))
        return {failure->status, failure->text, -1};
    if (std::optional<Answer> refused = Insertion(*store, *rows, tableName, settings).run()) {
        store->rollback();
        return *refused;
    }
    if (!clientConnected()) {
        store->rollback();
        return {500, QStringLiteral("相手が接続を切ったため、挿入しませんでした。"), -1};
    }
    if ((failure = store->commit())) {
        store->rollback();
        return {failure->status, failure->text, -1};
    }
    return {200, QStringLiteral("%1件の行を挿入しました。").arg(rows->rowCount()), rows->rowCount()};
}

} // namespace tessaly::receiver
