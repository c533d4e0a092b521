#include "receiver/RowDocument.h"

#include "core/document/XmlName.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <array>
#include <cctype>
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

bool isXmlCharacter(quint32 c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
           || (c >= 0x10000 && c <= 0x10FFFF);
}

// The value of a character reference's digits ("#65", "#x41"); nothing when they are no number.
std::optional<quint32> characterReference(std::string_view reference)
{
    const bool hex = reference.starts_with("#x");
    const std::string_view digits = reference.substr(hex ? 2 : 1);
    const auto isDigit = [hex](char c) { return std::isdigit(uchar(c)) || (hex && std::isxdigit(uchar(c))); };
    if (digits.empty() || digits.size() > 8 || !std::all_of(digits.begin(), digits.end(), isDigit))
        return std::nullopt;
    bool ok = false;
    const quint32 value = QByteArrayView(digits.data(), qsizetype(digits.size())).toUInt(&ok, hex ? 16 : 10);
    return ok ? std::optional(value) : std::nullopt;
}

struct Flaw {
    size_t offset;
    QString what;
};

// What the parser would pass over silently: a DOCTYPE, an entity it does not know (kept as
// text), a reference to a character that XML does not allow, a control character. '&' and '<'
// mean nothing inside comments, CDATA sections and processing instructions, which are skipped.
std::optional<Flaw> lexicalFlaw(std::string_view text)
{
    static constexpr std::pair<std::string_view, std::string_view> kSkipped[] = {
        {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
    // Longer than any reference the parser knows ("&#x10FFFF;"): no reference at all.
    constexpr size_t kLongestReference = 12;
    // The bytes that need a look: '!' and '?' (of "<!" and "<?"), '&', control characters. They
    // are rare, so the text is read a word at a time until one may be in it.
    static const std::array<bool, 256> kNotable = [] {
        std::array<bool, 256> notable{};
        for (int c = 0; c < 0x20; ++c)
            notable[size_t(c)] = c != '\t' && c != '\n' && c != '\r';
        notable['!'] = notable['?'] = notable['&'] = true;
        return notable;
    }();
    constexpr quint64 kOnes = 0x0101010101010101ULL;
    constexpr quint64 kHighBits = 0x8080808080808080ULL;
    const auto hasByteBelow = [](quint64 word, quint64 limit) { return ((word - kOnes * limit) & ~word & kHighBits) != 0; };
    const auto mayBeNotable = [&](quint64 word) {
        return hasByteBelow(word, 0x20) || hasByteBelow(word ^ (kOnes * '!'), 1) || hasByteBelow(word ^ (kOnes * '?'), 1)
               || hasByteBelow(word ^ (kOnes * '&'), 1);
    };
    for (size_t at = 0; at < text.size(); ++at) {
        if (quint64 word; at + sizeof word <= text.size()) {
            std::memcpy(&word, text.data() + at, sizeof word);
            if (!mayBeNotable(word)) {
                at += sizeof word - 1;
                continue;
            }
        }
        const char c = text[at];
        if (!kNotable[uchar(c)])
            continue;
        if (c == '!' || c == '?') {
            const size_t open = at - 1;
            if (at == 0 || text[open] != '<')
                continue;
            if (text.substr(open, 9) == "<!DOCTYPE")
                return Flaw{open, QStringLiteral("DOCTYPE は受け付けません。")};
            for (const auto &[start, end] : kSkipped) {
                if (text.substr(open, start.size()) == start) {
                    const size_t close = text.find(end, open + start.size());
                    at = close == std::string_view::npos ? text.size() : close + end.size() - 1;
                    break;
                }
            }
        } else if (c == '&') {
            const std::string_view ahead = text.substr(at + 1, kLongestReference);
            const size_t semicolon = ahead.find(';');
            const bool closed = semicolon != std::string_view::npos;
            const std::string_view reference = ahead.substr(0, semicolon);
            const auto shown = [&] {
                return u'&' + QString::fromUtf8(reference.data(), qsizetype(reference.size())) + (closed ? u';' : u'…');
            };
            if (reference.starts_with('#')) {
                const std::optional<quint32> character = characterReference(reference);
                if (!closed || !character || !isXmlCharacter(*character))
                    return Flaw{at, QStringLiteral("文字参照「%1」は XML で使える文字を表していません。").arg(shown())};
            } else if (!closed
                       || (reference != "lt" && reference != "gt" && reference != "amp" && reference != "apos"
                           && reference != "quot")) {
                return Flaw{at,
                            QStringLiteral("「%1」は使えない参照です（&amp; &lt; &gt; &quot; &apos; と文字参照だけが使えます）。")
                                .arg(shown())};
            }
        } else if (uchar(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            return Flaw{at, QStringLiteral("制御文字 U+%1 は XML で使えません。").arg(uchar(c), 4, 16, QLatin1Char('0'))};
        }
    }
    return std::nullopt;
}

// A column: its element name, and which occurrence of that name within a row it is.
struct ColumnKey {
    QByteArrayView name;
    int occurrence;
};

bool operator==(const ColumnKey &a, const ColumnKey &b)
{
    return a.occurrence == b.occurrence && a.name == b.name;
}

// Seeded per process, so that a document cannot be made of names that collide.
size_t qHash(const ColumnKey &key, size_t seed)
{
    return qHashMulti(seed, key.name, key.occurrence);
}

// Why the document was refused, with the line where it happened.
Failure failureAt(const QByteArray &text, ptrdiff_t offset, const QString &what)
{
    return Failure{QStringLiteral("XML 文書の%1行目: %2").arg(lineAt(text, offset)).arg(what)};
}

} // namespace

// Reads the row elements of a parsed document into its RowDocument, one at a time, and numbers
// the columns in order of first appearance.
class RowReader {
public:
    RowReader(RowDocument &rows, bool emptyAsText)
        : m_rows(rows)
        , m_emptyAsText(emptyAsText)
    {
    }

    Outcome read(const pugi::xml_node &row)
    {
        const qsizetype rowNumber = ++m_rows.m_rowCount;
        m_rows.m_rows.push_back({m_rows.m_values.size(), RowDocument::kInOrder});
        if (!isBlank(row.value()))
            return failAt(row, QStringLiteral("%1行目: 列の要素の外に文字があります。").arg(rowNumber));
        quint32 position = 0;
        bool inOrder = true;
        for (pugi::xml_node cell = row.first_child(); cell; cell = cell.next_sibling()) {
            if (cell.type() != pugi::node_element) {
                if (isBlank(cell.value()))
                    continue;
                return failAt(cell, QStringLiteral("%1行目: 列の要素の外に文字があります。").arg(rowNumber));
            }
            // Rows almost always repeat the columns in order, and then the k-th element of a
            // name is the k-th column of that name; other rows count the names, once.
            const QByteArrayView name(cell.name());
            std::optional<quint32> column = position++;
            if (inOrder && !(*column < m_columns.size() && m_columns[*column].name == name)) {
                inOrder = false;
                leaveOrder(row, cell, *column);
            }
            if (!inOrder) {
                if (!(column = columnOf({name, ++m_occurrencesInRow[name]})))
                    return failAt(
                        cell,
                        QStringLiteral("%1行目: 列の数が上限の %2 を超えています。").arg(rowNumber).arg(RowDocument::kMaxColumns));
                m_rows.m_columns.push_back(*column);
            }
            if (Outcome kept = keepValue(cell, rowNumber, *column); !kept)
                return kept;
        }
        return {};
    }

private:
    Failure failAt(const pugi::xml_node &node, const QString &what) const
    {
        return failureAt(m_rows.m_text, node.offset_debug(), what);
    }

    // From `cell` on, the row names its columns out of order: the elements before it are the
    // first columns, and the names are counted from the row's start.
    void leaveOrder(const pugi::xml_node &row, const pugi::xml_node &cell, quint32 cellsBefore)
    {
        m_rows.m_rows.back().firstColumn = m_rows.m_columns.size();
        for (quint32 before = 0; before < cellsBefore; ++before)
            m_rows.m_columns.push_back(before);
        m_occurrencesInRow.clear();
        for (pugi::xml_node before = row.first_child(); before != cell; before = before.next_sibling()) {
            if (before.type() == pugi::node_element)
                ++m_occurrencesInRow[QByteArrayView(before.name())];
        }
    }

    // The column of a name's occurrence, a new one at its first appearance; nothing past the limit.
    std::optional<quint32> columnOf(const ColumnKey &key)
    {
        if (const auto found = m_columnIndex.constFind(key); found != m_columnIndex.cend())
            return *found;
        if (qsizetype(m_columns.size()) == RowDocument::kMaxColumns)
            return std::nullopt;
        const auto column = quint32(m_columns.size());
        m_columns.push_back(key);
        m_columnIndex.insert(key, column);
        m_rows.m_headings.append(fromXmlName(QString::fromUtf8(key.name)));
        m_rows.m_occurrences.push_back(key.occurrence);
        return column;
    }

    // The cell's text, joined from its parts when there are several; empty is NULL unless empty
    // text is wanted.
    Outcome keepValue(const pugi::xml_node &cell, qsizetype rowNumber, quint32 column)
    {
        const char *value = cell.value();
        if (cell.first_child()) {
            std::string joined = value;
            for (const pugi::xml_node part : cell.children()) {
                if (part.type() == pugi::node_element) {
                    return failAt(part, QStringLiteral("%1行目の列「%2」: 値の中に要素があります。")
                                            .arg(rowNumber)
                                            .arg(m_rows.m_headings.at(qsizetype(column))));
                }
                joined += part.value();
            }
            value = m_rows.m_joinedValues.emplace_back(std::move(joined)).c_str();
        }
        m_rows.m_values.push_back(*value || m_emptyAsText ? value : nullptr);
        return {};
    }

    RowDocument &m_rows;
    const bool m_emptyAsText;
    std::vector<ColumnKey> m_columns; // in order of first appearance
    QHash<ColumnKey, quint32> m_columnIndex;
    QHash<QByteArrayView, int> m_occurrencesInRow;
};

Outcome RowDocument::load()
{
    const QByteArray &text = m_text;
    if (const std::optional<Flaw> flaw = lexicalFlaw(std::string_view(text.constData(), size_t(text.size()))))
        return failureAt(text, ptrdiff_t(flaw->offset), flaw->what);
    m_document = std::make_unique<pugi::xml_document>();
    const pugi::xml_parse_result parsed = m_document->load_buffer_inplace(m_text.data(), size_t(text.size()), kParseOptions,
                                                                          pugi::encoding_utf8);
    if (!parsed)
        return failureAt(text, parsed.offset, QString::fromUtf8(parsed.description()));
    const pugi::xml_node root = m_document->document_element();
    for (const pugi::xml_node node : m_document->children()) {
        if (node.type() == pugi::node_element && node != root)
            return failureAt(text, node.offset_debug(), QStringLiteral("ルート要素が 2 つ以上あります。"));
        if (node.type() == pugi::node_pcdata && !isBlank(node.value()))
            return failureAt(text, node.offset_debug(), QStringLiteral("ルート要素の外に文字があります。"));
    }
    if (!isBlank(root.value()))
        return failureAt(text, root.offset_debug(), QStringLiteral("行の要素の外に文字があります。"));
    return {};
}

Result<RowDocument> RowDocument::parse(QByteArray documentUtf8, bool emptyAsText)
{
    RowDocument rows;
    rows.m_text = std::move(documentUtf8);
    if (Outcome loaded = rows.load(); !loaded)
        return loaded.failure();
    const pugi::xml_node root = rows.m_document->document_element();
    RowReader reader(rows, emptyAsText);
    for (const pugi::xml_node row : root.children()) {
        if (row.type() != pugi::node_element) {
            if (isBlank(row.value()))
                continue;
            return failureAt(rows.m_text, row.offset_debug(), QStringLiteral("行の要素の外に文字があります。"));
        }
        if (Outcome read = reader.read(row); !read)
            return read.failure();
    }
    rows.m_rows.push_back({rows.m_values.size(), kInOrder});
    if (rows.m_rowCount * rows.columnCount() > kMaxCellsPerByte * rows.m_text.size()) {
        return failureAt(rows.m_text, root.offset_debug(),
                         QStringLiteral("行に欠けている列が多すぎます（%1行 × %2列に対して文書が %3 バイト）。"
                                        "欠けている列は空の要素で書いて下さい。")
                             .arg(rows.m_rowCount)
                             .arg(rows.columnCount())
                             .arg(rows.m_text.size()));
    }
    return rows;
}

void RowDocument::fillRow(qsizetype row, std::vector<const char *> &values) const
{
    values.assign(size_t(columnCount()), nullptr);
    const RowSpan &span = m_rows[size_t(row)];
    const size_t count = m_rows[size_t(row) + 1].firstValue - span.firstValue;
    for (size_t element = 0; element < count; ++element) {
        const size_t column = span.firstColumn == kInOrder ? element : m_columns[span.firstColumn + element];
        values[column] = m_values[span.firstValue + element];
    }
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
