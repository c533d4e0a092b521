#include "receiver/RowDocument.h"

#include "core/document/XmlName.h"

#include <QSet>

#include <cstring>
#include <string_view>

namespace tessaly::receiver {

namespace {

constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_embed_pcdata | pugi::parse_ws_pcdata_single
                                   | pugi::parse_doctype;

qsizetype lineAt(const QByteArray &text, ptrdiff_t offset)
{
    return text.first(std::clamp<qsizetype>(offset, 0, text.size())).count('\n') + 1;
}

bool isBlank(const char *text)
{
    return std::string_view(text).find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// The offset of a character reference to U+0000: the parser would end the value there and
// silently drop the rest of it.
std::optional<qsizetype> nulReference(const QByteArray &text)
{
    const char *const begin = text.constData();
    const char *const end = begin + text.size();
    for (const char *at = begin; (at = static_cast<const char *>(std::memchr(at, '&', size_t(end - at)))); ++at) {
        const char *digit = at + 1;
        if (digit == end || *digit != '#')
            continue;
        digit += digit + 1 < end && digit[1] == 'x' ? 2 : 1;
        const char *const digits = digit;
        while (digit < end && *digit == '0')
            ++digit;
        if (digit > digits && digit < end && *digit == ';')
            return at - begin;
    }
    return std::nullopt;
}

} // namespace

std::optional<RowDocument> RowDocument::parse(QByteArray documentUtf8, bool emptyAsText, QString *error)
{
    RowDocument rows;
    rows.m_text = std::move(documentUtf8);
    const QByteArray &text = rows.m_text;
    const auto fail = [&](qsizetype line, const QString &what) {
        *error = QStringLiteral("XML 文書の%1行目: %2").arg(line).arg(what);
        return std::nullopt;
    };
    if (const std::optional<qsizetype> at = nulReference(text))
        return fail(lineAt(text, *at), QStringLiteral("文字参照で U+0000 は表せません。"));

    rows.m_document = std::make_unique<pugi::xml_document>();
    const pugi::xml_parse_result parsed =
        rows.m_document->load_buffer_inplace(rows.m_text.data(), size_t(text.size()), kParseOptions, pugi::encoding_utf8);
    if (!parsed)
        return fail(lineAt(text, parsed.offset), QString::fromUtf8(parsed.description()));
    for (const pugi::xml_node node : rows.m_document->children()) {
        if (node.type() == pugi::node_doctype)
            return fail(lineAt(text, node.offset_debug()), QStringLiteral("DOCTYPE は受け付けません。"));
    }

    // Column names in UTF-8 with their occurrence, for matching the elements of each row.
    std::vector<std::pair<std::string_view, int>> columns;
    const auto columnOf = [&](std::string_view name, int occurrence) {
        for (size_t c = 0; c < columns.size(); ++c) {
            if (columns[c].first == name && columns[c].second == occurrence)
                return c;
        }
        const size_t oldCount = columns.size();
        columns.emplace_back(name, occurrence);
        rows.m_headings.append(fromXmlName(QString::fromUtf8(name.data(), qsizetype(name.size()))));
        rows.m_occurrences.push_back(occurrence);
        // A column first seen in a later row: widen the rows read so far.
        std::vector<const char *> widened(size_t(rows.m_rowCount) * columns.size(), nullptr);
        for (size_t r = 0; r < size_t(rows.m_rowCount); ++r)
            std::copy_n(rows.m_cells.begin() + ptrdiff_t(r * oldCount), oldCount, widened.begin() + ptrdiff_t(r * columns.size()));
        rows.m_cells = std::move(widened);
        return oldCount;
    };

    const pugi::xml_node root = rows.m_document->document_element();
    for (const pugi::xml_node row : root.children()) {
        if (row.type() != pugi::node_element) {
            if (isBlank(row.value()))
                continue;
            return fail(lineAt(text, row.offset_debug()), QStringLiteral("行の要素の外に文字があります。"));
        }
        const qsizetype rowNumber = ++rows.m_rowCount;
        rows.m_cells.resize(rows.m_cells.size() + columns.size(), nullptr);
        size_t position = 0;
        bool inOrder = true;
        for (pugi::xml_node cell = row.first_child(); cell; cell = cell.next_sibling()) {
            if (cell.type() != pugi::node_element) {
                if (isBlank(cell.value()))
                    continue;
                return fail(lineAt(text, cell.offset_debug()), QStringLiteral("%1行目: 列の要素の外に文字があります。").arg(rowNumber));
            }
            // Rows almost always repeat the columns in order, and then the k-th element of a
            // name is the k-th column of that name; only other rows need counting.
            size_t column = position++;
            inOrder = inOrder && column < columns.size() && columns[column].first == cell.name();
            if (!inOrder) {
                int occurrence = 1;
                for (pugi::xml_node before = row.first_child(); before != cell; before = before.next_sibling())
                    occurrence += before.type() == pugi::node_element && std::strcmp(before.name(), cell.name()) == 0 ? 1 : 0;
                column = columnOf(cell.name(), occurrence);
            }

            const char *value = cell.value();
            if (cell.first_child()) {
                std::string joined = value;
                for (const pugi::xml_node part : cell.children()) {
                    if (part.type() == pugi::node_element) {
                        return fail(lineAt(text, part.offset_debug()),
                                    QStringLiteral("%1行目の列「%2」: 値の中に要素があります。")
                                        .arg(rowNumber)
                                        .arg(rows.m_headings.at(qsizetype(column))));
                    }
                    joined += part.value();
                }
                value = rows.m_joinedValues.emplace_back(std::move(joined)).c_str();
            }
            rows.m_cells[size_t(rowNumber - 1) * columns.size() + column] = *value || emptyAsText ? value : nullptr;
        }
    }
    return rows;
}

QStringList RowDocument::distinctNames() const
{
    QSet<QString> used(m_headings.begin(), m_headings.end());
    QStringList names;
    for (qsizetype c = 0; c < m_headings.size(); ++c) {
        QString name = m_headings.at(c);
        for (int suffix = 2; m_occurrences[size_t(c)] > 1; ++suffix) {
            name = m_headings.at(c) + u'_' + QString::number(suffix);
            if (!used.contains(name))
                break;
        }
        used.insert(name);
        names.append(name);
    }
    return names;
}

} // namespace tessaly::receiver
