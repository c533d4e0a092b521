#include "core/workbook/OoxmlWorkbook.h"
#include "core/workbook/ReadFailures.h"

#include "core/workbook/CellText.h"
#include "core/workbook/ZipPackage.h"

#include <QHash>

#include <charconv>
#include <cstring>
#include <string>

namespace tessaly::workbook {
namespace {

// UTF-8 bytes of a text that surely passes the cell limit: collecting stops there, so that a
// small compressed part cannot make one text huge in memory.
constexpr std::size_t kTextBytesLimit = 4 * std::size_t(SheetTableBuilder::kMaxTextLength) + 4;

bool isTrue(const char *value)
{
    return value && (is(value, "1") || is(value, "true"));
}

// A relationship type's last path segment, the same in the Transitional and Strict namespaces.
QString typeName(const char *type)
{
    const char *slash = std::strrchr(type, '/');
    return QString::fromUtf8(slash ? slash + 1 : type);
}

QString folderOf(const QString &partName)
{
    const qsizetype slash = partName.lastIndexOf(u'/');
    return slash < 0 ? QString() : partName.left(slash);
}

// The relationships of one part: id → (type, resolved target).
struct Relationship {
    QString type;
    QString target;
};

class RelationshipsHandler : public XmlHandler {
public:
    explicit RelationshipsHandler(QString folder)
        : m_folder(std::move(folder))
    {
    }

    void startElement(const char *name, XmlAttributes attributes) override
    {
        if (!is(name, "Relationship"))
            return;
        const char *id = attribute(attributes, "Id");
        const char *type = attribute(attributes, "Type");
        const char *target = attribute(attributes, "Target");
        const char *mode = attribute(attributes, "TargetMode");
        if (!type || !target || (mode && is(mode, "External")))
            return;
        const Relationship relationship{typeName(type), ZipPackage::resolve(m_folder, QString::fromUtf8(target))};
        byId.insert(QString::fromUtf8(id ? id : ""), relationship);
        ordered.append(relationship);
    }
    void endElement(const char *) override { }

    QString targetOfType(const QString &type) const
    {
        for (const Relationship &relationship : ordered) {
            if (relationship.type == type)
                return relationship.target;
        }
        return {};
    }

    QHash<QString, Relationship> byId;
    QList<Relationship> ordered;

private:
    QString m_folder;
};

RelationshipsHandler relationshipsOf(const ZipPackage &package, const QString &partName)
{
    const QString folder = folderOf(partName);
    RelationshipsHandler handler(folder);
    const QString name = (folder.isEmpty() ? QString() : folder + u'/') + QStringLiteral("_rels/")
                         + partName.mid(partName.lastIndexOf(u'/') + 1) + QStringLiteral(".rels");
    // A part without relationships, or with damaged ones, simply has none.
    if (package.contains(name))
        static_cast<void>(package.parse(name, handler));
    return handler;
}

class WorkbookHandler : public XmlHandler {
public:
    void startElement(const char *name, XmlAttributes attributes) override
    {
        if (is(name, "workbookPr")) {
            uses1904 = isTrue(attribute(attributes, "date1904"));
        } else if (is(name, "sheet")) {
            const char *sheetName = attribute(attributes, "name");
            const char *id = attribute(attributes, "id", "relationships");
            if (sheetName && id)
                sheets.append({QString::fromUtf8(sheetName), QString::fromUtf8(id)});
        }
    }
    void endElement(const char *name) override
    {
        if (is(name, "sheets"))
            stop();
    }

    bool uses1904 = false;
    QList<std::pair<QString, QString>> sheets; // name and relationship id
};

class StylesHandler : public XmlHandler {
public:
    void startElement(const char *name, XmlAttributes attributes) override
    {
        if (is(name, "numFmt")) {
            const char *id = attribute(attributes, "numFmtId");
            const char *code = attribute(attributes, "formatCode");
            if (id && code)
                formats.define(quint32(std::strtoul(id, nullptr, 10)), QString::fromUtf8(code));
        } else if (is(name, "cellXfs")) {
            m_inCellFormats = true;
        } else if (m_inCellFormats && is(name, "xf")) {
            const char *id = attribute(attributes, "numFmtId");
            cellFormats.push_back(id ? quint32(std::strtoul(id, nullptr, 10)) : 0);
        }
    }
    void endElement(const char *name) override
    {
        if (is(name, "cellXfs"))
            m_inCellFormats = false;
    }

    DateFormats formats;
    std::vector<quint32> cellFormats;

private:
    bool m_inCellFormats = false;
};

// Collects the text of a string item (<si>, <is>): its <t> and its runs' <t>, phonetic runs left out.
class RichText {
public:
    bool start(const char *name)
    {
        if (is(name, "rPh"))
            ++m_phoneticDepth;
        else if (is(name, "t") && m_phoneticDepth == 0)
            return true;
        return false;
    }
    void end(const char *name)
    {
        if (is(name, "rPh"))
            --m_phoneticDepth;
    }
    void append(const char *text, int length)
    {
        m_tooLong = m_tooLong || m_utf8.size() + std::size_t(length) > kTextBytesLimit;
        if (!m_tooLong)
            m_utf8.append(text, std::size_t(length));
    }
    // Appends the collected text to out; false when it is longer than a cell may hold.
    bool finish(QString &out)
    {
        if (m_tooLong)
            return false;
        const qsizetype start = out.size();
        out.append(QString::fromUtf8(m_utf8.data(), qsizetype(m_utf8.size())));
        m_utf8.clear();
        decodeOoxmlEscapes(out, start);
        return out.size() - start <= SheetTableBuilder::kMaxTextLength;
    }

private:
    std::string m_utf8;
    int m_phoneticDepth = 0;
    bool m_tooLong = false;
};

class SharedStringsHandler : public XmlHandler {
public:
    void startElement(const char *name, XmlAttributes) override
    {
        if (is(name, "si"))
            m_inItem = true;
        else if (m_inItem)
            m_wantsText = m_text.start(name);
    }
    void endElement(const char *name) override
    {
        m_wantsText = false;
        if (!is(name, "si")) {
            m_text.end(name);
            return;
        }
        m_inItem = false;
        const qsizetype start = sharedText.size();
        if (!m_text.finish(sharedText))
            return stop(SheetTableBuilder::textTooLong());
        strings.emplace_back(quint32(start), quint32(sharedText.size() - start));
        if (sharedText.size() >= qsizetype(0x7FFFFFFF) - SheetTableBuilder::kMaxTextLength)
            stop(QStringLiteral("共有文字列が多すぎます"));
    }
    void characters(const char *text, int length) override { m_text.append(text, length); }

    QString sharedText;
    std::vector<std::pair<quint32, quint32>> strings;

private:
    RichText m_text;
    bool m_inItem = false;
};

class OoxmlWorkbook final : public Workbook {
public:
    Outcome load(std::unique_ptr<ZipPackage> package);

private:
    friend class SheetHandler;
    Result<SheetTable> readWorksheet(qsizetype index) const override;

    std::unique_ptr<ZipPackage> m_package;
    QStringList m_sheetParts;
    bool m_uses1904 = false;
    QString m_sharedText;
    std::vector<std::pair<quint32, quint32>> m_sharedStrings;
    std::vector<bool> m_xfIsDate;
};

// Parses "BC12" into a zero-based column and row; either may be missing. Saturates far past the
// sheet's bounds so that the builder drops such cells.
void parseReference(const char *reference, std::optional<quint32> &column, std::optional<quint32> &row)
{
    constexpr quint32 kFar = 0x7FFFFFFF;
    quint64 letters = 0;
    const char *at = reference;
    for (; (*at >= 'A' && *at <= 'Z') || (*at >= 'a' && *at <= 'z'); ++at)
        letters = std::min<quint64>(letters * 26 + quint64((*at | 0x20) - 'a' + 1), kFar);
    quint64 digits = 0;
    const char *digitsStart = at;
    for (; *at >= '0' && *at <= '9'; ++at)
        digits = std::min<quint64>(digits * 10 + quint64(*at - '0'), kFar);
    if (letters > 0)
        column = quint32(letters - 1);
    if (at != digitsStart && digits > 0)
        row = quint32(digits - 1);
}

class SheetHandler : public XmlHandler {
public:
    explicit SheetHandler(const OoxmlWorkbook &book)
        : m_book(book)
        , m_builder(book.m_sharedText)
        , m_out(m_builder.ownText())
    {
    }

    void startElement(const char *name, XmlAttributes attributes) override
    {
        if (m_inInline) {
            m_wantsText = m_text.start(name);
        } else if (is(name, "c")) {
            std::optional<quint32> column;
            std::optional<quint32> row;
            if (const char *reference = attribute(attributes, "r"))
                parseReference(reference, column, row);
            m_column = column ? *column : m_nextColumn;
            m_cellRow = row ? *row : m_row;
            m_nextColumn = m_column + 1;
            const char *type = attribute(attributes, "t");
            m_type = type ? type[0] : 'n';
            if (type && is(type, "inlineStr"))
                m_type = 'i';
            else if (type && is(type, "str"))
                m_type = 'f';
            const char *style = attribute(attributes, "s");
            m_style = style ? quint32(std::strtoul(style, nullptr, 10)) : 0;
            m_value.clear();
        } else if (is(name, "v")) {
            m_value.clear();
            m_wantsText = true;
        } else if (is(name, "is")) {
            m_inInline = true;
        } else if (is(name, "row")) {
            std::optional<quint32> column;
            std::optional<quint32> row;
            if (const char *reference = attribute(attributes, "r"))
                parseReference(reference, column, row);
            m_row = row ? *row : m_row + 1;
            m_nextColumn = 0;
        }
    }

    void endElement(const char *name) override
    {
        m_wantsText = false;
        if (m_inInline) {
            if (is(name, "is"))
                m_inInline = false;
            else
                m_text.end(name);
        } else if (is(name, "c")) {
            addCell();
            if (m_builder.failed())
                stop(); // build() tells why
        } else if (is(name, "sheetData")) {
            stop();
        }
    }

    void characters(const char *text, int length) override
    {
        if (m_inInline)
            m_text.append(text, length);
        else if (m_value.size() + std::size_t(length) <= kTextBytesLimit)
            m_value.append(text, std::size_t(length));
        else
            stop(SheetTableBuilder::textTooLong());
    }

    Result<SheetTable> build() { return m_builder.build(); }

private:
    void addCell()
    {
        const qsizetype start = m_out.size();
        switch (m_type) {
        case 's': {
            quint32 index = 0;
            const auto [end, error] = std::from_chars(m_value.data(), m_value.data() + m_value.size(), index);
            if (error == std::errc() && end != m_value.data() && index < m_book.m_sharedStrings.size()) {
                const auto [offset, length] = m_book.m_sharedStrings[index];
                m_builder.addSharedText(m_cellRow, m_column, offset, length);
            }
            return;
        }
        case 'i':
            if (!m_text.finish(m_out))
                return stop(SheetTableBuilder::textTooLong());
            break;
        case 'b':
            if (!m_value.empty())
                m_out.append(m_value == "1" || m_value == "true" ? QLatin1StringView("TRUE") : QLatin1StringView("FALSE"));
            break;
        case 'd': {
            const QString iso = QString::fromUtf8(m_value.data(), qsizetype(m_value.size()));
            if (!appendIsoDateTime(m_out, iso))
                m_out.append(iso);
            break;
        }
        case 'n': {
            double number = 0;
            const auto [end, error] = std::from_chars(m_value.data(), m_value.data() + m_value.size(), number);
            if (error == std::errc() && end == m_value.data() + m_value.size()) {
                if (m_style < m_book.m_xfIsDate.size() && m_book.m_xfIsDate[m_style])
                    appendDateTime(m_out, number, m_book.m_uses1904);
                else
                    appendNumber(m_out, number);
                break;
            }
            [[fallthrough]]; // not a number after all: shown as written
        }
        default: // formula strings (str), errors (e)
            appendText();
            break;
        }
        m_builder.addOwnText(m_cellRow, m_column, start);
    }

    void appendText()
    {
        const qsizetype start = m_out.size();
        m_out.append(QString::fromUtf8(m_value.data(), qsizetype(m_value.size())));
        decodeOoxmlEscapes(m_out, start);
    }

    const OoxmlWorkbook &m_book;
    SheetTableBuilder m_builder;
    QString &m_out;
    RichText m_text;
    std::string m_value;
    bool m_inInline = false;
    char m_type = 'n';
    quint32 m_style = 0;
    quint32 m_row = quint32(-1); // the first row without a reference is row 0
    quint32 m_cellRow = 0;
    quint32 m_column = 0;
    quint32 m_nextColumn = 0;
};

Outcome OoxmlWorkbook::load(std::unique_ptr<ZipPackage> package)
{
    m_package = std::move(package);
    QString workbookPart = relationshipsOf(*m_package, QString()).targetOfType(QStringLiteral("officeDocument"));
    if (workbookPart.isEmpty() || !m_package->contains(workbookPart))
        workbookPart = QStringLiteral("xl/workbook.xml");
    if (!m_package->contains(workbookPart))
        return zipWithoutWorkbook();
    WorkbookHandler workbook;
    if (const Outcome parsed = m_package->parse(workbookPart, workbook); !parsed)
        return parsed;
    m_uses1904 = workbook.uses1904;

    // Worksheets only: chart sheets, dialog sheets and macro sheets present no table.
    const RelationshipsHandler relationships = relationshipsOf(*m_package, workbookPart);
    for (const auto &[name, id] : std::as_const(workbook.sheets)) {
        const auto found = relationships.byId.constFind(id);
        if (found != relationships.byId.cend() && found->type == u"worksheet") {
            m_sheetNames.append(name);
            m_sheetParts.append(found->target);
        }
    }

    const QString stylesPart = relationships.targetOfType(QStringLiteral("styles"));
    if (!stylesPart.isEmpty() && m_package->contains(stylesPart)) {
        StylesHandler styles;
        if (const Outcome parsed = m_package->parse(stylesPart, styles); !parsed)
            return parsed;
        m_xfIsDate.reserve(styles.cellFormats.size());
        for (const quint32 format : styles.cellFormats)
            m_xfIsDate.push_back(styles.formats.isDate(format));
    }

    const QString stringsPart = relationships.targetOfType(QStringLiteral("sharedStrings"));
    if (!stringsPart.isEmpty() && m_package->contains(stringsPart)) {
        std::optional<SharedStringsHandler> strings;
        if (const Outcome parsed = m_package->parse(stringsPart, [&]() -> XmlHandler & { return strings.emplace(); }); !parsed)
            return parsed;
        m_sharedText = std::move(strings->sharedText);
        m_sharedStrings = std::move(strings->strings);
    }
    return {};
}

Result<SheetTable> OoxmlWorkbook::readWorksheet(qsizetype index) const
{
    std::optional<SheetHandler> handler;
    if (const Outcome parsed = m_package->parse(m_sheetParts[index], [&]() -> XmlHandler & { return handler.emplace(*this); });
        !parsed)
        return parsed.failure();
    return handler->build();
}

} // namespace

void decodeOoxmlEscapes(QString &text, qsizetype from)
{
    qsizetype at = text.indexOf(u"_x", from);
    if (at < 0)
        return;
    qsizetype written = at;
    for (qsizetype read = at; read < text.size();) {
        char16_t decoded = 0;
        bool escape = read + 7 <= text.size() && text[read] == u'_' && text[read + 1] == u'x' && text[read + 6] == u'_';
        for (qsizetype i = read + 2; escape && i < read + 6; ++i) {
            const char16_t c = text[i].unicode();
            const int digit = c >= u'0' && c <= u'9'                     ? c - u'0'
                              : (c | 0x20) >= u'a' && (c | 0x20) <= u'f' ? (c | 0x20) - u'a' + 10
                                                                         : -1;
            escape = digit >= 0;
            decoded = char16_t(decoded * 16 + digit);
        }
        if (escape) {
            text[written++] = QChar(decoded);
            read += 7;
        } else {
            text[written++] = text[read++];
        }
    }
    text.truncate(written);
}

Result<std::unique_ptr<Workbook>> openOoxmlWorkbook(std::unique_ptr<ZipPackage> package)
{
    std::unique_ptr<OoxmlWorkbook> book(new OoxmlWorkbook);
    if (const Outcome loaded = book->load(std::move(package)); !loaded)
        return loaded.failure();
    return std::unique_ptr<Workbook>(std::move(book));
}

} // namespace tessaly::workbook
