#include "core/workbook/OdsWorkbook.h"
#include "core/workbook/ReadFailures.h"

#include "core/workbook/CellText.h"
#include "core/workbook/ZipPackage.h"

#include <charconv>
#include <cstring>
#include <string>

namespace tessaly::workbook {
namespace {

constexpr const char *kContent = "content.xml";
constexpr const char *kOffice = "opendocument:xmlns:office:1.0";
constexpr const char *kTable = "opendocument:xmlns:table:1.0";
constexpr const char *kText = "opendocument:xmlns:text:1.0";
constexpr const char *kCalcExtension = "calc:xmlns:calcext:1.0";

// A repeat count: at least 1, saturated far past any sheet's bounds.
quint64 repeatCount(XmlAttributes attributes, const char *name)
{
    const char *value = attribute(attributes, name, kTable);
    if (!value)
        return 1;
    quint64 count = 0;
    for (; *value >= '0' && *value <= '9'; ++value)
        count = std::min<quint64>(count * 10 + quint64(*value - '0'), quint64(1) << 40);
    return std::max<quint64>(count, 1);
}

// An ISO 8601 duration such as "PT36H12M05.5S" (or "P1DT…"), in days; false when it is none.
bool parseDuration(const char *text, double &days)
{
    bool negative = false;
    if (*text == '-') {
        negative = true;
        ++text;
    }
    if (*text++ != 'P')
        return false;
    double seconds = 0;
    bool time = false;
    while (*text) {
        if (*text == 'T') {
            time = true;
            ++text;
            continue;
        }
        double value = 0;
        const auto [end, error] = std::from_chars(text, text + std::strlen(text), value);
        if (error != std::errc() || !*end)
            return false;
        switch (*end) {
        case 'D':
            seconds += value * 86400;
            break;
        case 'H':
            seconds += value * 3600;
            break;
        case 'M':
            seconds += time ? value * 60 : value * 30 * 86400;
            break;
        case 'S':
            seconds += value;
            break;
        default:
            return false;
        }
        text = end + 1;
    }
    days = (negative ? -seconds : seconds) / 86400;
    return true;
}

// Walks content.xml: the spreadsheet's tables, and the cells of one of them.
class ContentHandler : public XmlHandler {
public:
    // Reads every table when `wanted` is kEveryTable, else table `wanted` only, and stops after it.
    static constexpr qsizetype kEveryTable = -1;
    explicit ContentHandler(qsizetype wanted)
        : m_wanted(wanted)
    {
    }

    void startElement(const char *name, XmlAttributes attributes) override
    {
        if (m_annotationDepth > 0) {
            ++m_annotationDepth;
            return;
        }
        if (is(name, "spreadsheet")) {
            isSpreadsheet = true;
        } else if (is(name, "table")) {
            if (m_tableDepth++ == 0 && isSpreadsheet) {
                const char *tableName = attribute(attributes, "name", kTable);
                tableNames.append(QString::fromUtf8(tableName ? tableName : ""));
                m_row = 0;
                if (m_wanted == kEveryTable || m_wanted == tableNames.size() - 1)
                    m_builder.emplace();
            }
        } else if (!inWantedTable()) {
            return;
        } else if (is(name, "table-row")) {
            m_rowRepeat = repeatCount(attributes, "number-rows-repeated");
            m_column = 0;
            m_rowCells.clear();
            m_rowTextLength = 0;
        } else if (is(name, "table-cell") || is(name, "covered-table-cell")) {
            startCell(attributes, is(name, "table-cell"));
        } else if (m_collecting) {
            startInCell(name, attributes);
        }
    }

    void endElement(const char *name) override
    {
        if (m_annotationDepth > 0) {
            --m_annotationDepth;
            return;
        }
        if (is(name, "table")) {
            if (--m_tableDepth == 0 && m_builder)
                endTable();
        } else if (!inWantedTable()) {
            return;
        } else if (is(name, "table-cell") || is(name, "covered-table-cell")) {
            endCell();
        } else if (is(name, "table-row")) {
            endRow();
        } else if (is(name, "p") || is(name, "h")) {
            --m_paragraphDepth;
            m_wantsText = m_collecting && m_paragraphDepth > 0;
        }
    }

    void characters(const char *text, int length) override
    {
        m_text.append(text, std::size_t(length));
        stopWhenTooLong();
    }

    bool isSpreadsheet = false;
    QStringList tableNames;
    std::vector<Result<SheetTable>> results; // each table read: the table or why it could not be

private:
    // Cells count inside a table being read, until it passes a bound.
    bool inWantedTable() const { return m_builder && m_tableDepth == 1 && !m_builder->failed(); }

    void endTable()
    {
        results.push_back(m_builder->build());
        m_builder.reset();
        if (m_wanted != kEveryTable)
            stop();
    }

    void startCell(XmlAttributes attributes, bool holdsValue)
    {
        m_cellRepeat = repeatCount(attributes, "number-columns-repeated");
        m_text.clear();
        m_collecting = false;
        m_wantsText = false;
        m_paragraphDepth = 0;
        m_paragraphs = 0;
        QString &out = m_builder->ownText();
        m_cellStart = out.size();
        const char *type = attribute(attributes, "value-type", kCalcExtension);
        if (!type || !is(type, "error"))
            type = attribute(attributes, "value-type", kOffice);
        if (!holdsValue || !type)
            return; // covered (merged) cells and cells without a value show nothing
        if (is(type, "string") || is(type, "error")) {
            m_collecting = true;
        } else if (is(type, "float") || is(type, "percentage") || is(type, "currency")) {
            const char *value = attribute(attributes, "value", kOffice);
            double number = 0;
            if (value && std::from_chars(value, value + std::strlen(value), number).ec == std::errc())
                appendNumber(out, number);
        } else if (is(type, "date")) {
            if (const char *value = attribute(attributes, "date-value", kOffice))
                appendIsoDateTime(out, QString::fromUtf8(value));
        } else if (is(type, "time")) {
            double days = 0;
            const char *value = attribute(attributes, "time-value", kOffice);
            if (value && parseDuration(value, days))
                appendDateTime(out, days, false);
        } else if (is(type, "boolean")) {
            const char *value = attribute(attributes, "boolean-value", kOffice);
            if (value)
                out.append(is(value, "true") ? QLatin1StringView("TRUE") : QLatin1StringView("FALSE"));
        }
    }

    void startInCell(const char *name, XmlAttributes attributes)
    {
        if (is(name, "annotation")) {
            m_annotationDepth = 1;
            m_wantsText = false;
        } else if (is(name, "p") || is(name, "h")) {
            if (m_paragraphDepth++ == 0 && m_paragraphs++ > 0)
                m_text.push_back('\n');
            m_wantsText = true;
        } else if (m_paragraphDepth > 0 && is(name, "s")) {
            const char *count = attribute(attributes, "c", kText);
            const quint64 spaces = count ? std::strtoull(count, nullptr, 10) : 1;
            m_text.append(std::size_t(std::min<quint64>(std::max<quint64>(spaces, 1), SheetTableBuilder::kMaxTextLength + 1)), ' ');
        } else if (m_paragraphDepth > 0 && is(name, "tab")) {
            m_text.push_back('\t');
        } else if (m_paragraphDepth > 0 && is(name, "line-break")) {
            m_text.push_back('\n');
        }
        stopWhenTooLong();
    }

    // UTF-8 bytes past four per character surely pass the cell limit: collecting stops there, so
    // that a small compressed part cannot make one text huge in memory.
    void stopWhenTooLong()
    {
        if (m_text.size() > 4 * std::size_t(SheetTableBuilder::kMaxTextLength))
            stop(SheetTableBuilder::textTooLong());
    }

    void endCell()
    {
        QString &out = m_builder->ownText();
        if (m_collecting)
            out.append(QString::fromUtf8(m_text.data(), qsizetype(m_text.size())));
        m_collecting = false;
        m_wantsText = false;
        m_paragraphDepth = 0;
        const qsizetype length = out.size() - m_cellStart;
        if (length > SheetTableBuilder::kMaxTextLength)
            return stop(SheetTableBuilder::textTooLong());
        if (length > 0 && m_column < SheetTableBuilder::kMaxColumns) {
            const quint64 repeats = std::min<quint64>(m_cellRepeat, SheetTableBuilder::kMaxColumns - m_column);
            if (repeats > 1 && !m_builder->fits(repeats, quint64(length)))
                return;
            for (quint64 i = 0; i < repeats; ++i) {
                const RowCell cell{quint32(m_column + i), m_cellStart, length};
                m_builder->addText(quint32(std::min<quint64>(m_row, SheetTableBuilder::kMaxRows)), cell.column, cell.offset,
                                   cell.length);
                m_rowCells.push_back(cell);
            }
            m_rowTextLength += repeats * quint64(length);
        }
        m_column = std::min<quint64>(m_column + m_cellRepeat, SheetTableBuilder::kMaxColumns);
    }

    // A repeated row is expanded only when it holds cells, and only up to the last row.
    void endRow()
    {
        if (!m_rowCells.empty() && m_rowRepeat > 1 && m_row + 1 < SheetTableBuilder::kMaxRows) {
            const quint64 copies = std::min<quint64>(m_rowRepeat, SheetTableBuilder::kMaxRows - m_row) - 1;
            if (!m_builder->fits(copies * m_rowCells.size(), m_rowTextLength / m_rowCells.size()))
                return;
            for (quint64 copy = 1; copy <= copies; ++copy) {
                for (const RowCell &cell : m_rowCells)
                    m_builder->addText(quint32(m_row + copy), cell.column, cell.offset, cell.length);
            }
        }
        m_row = std::min<quint64>(m_row + m_rowRepeat, SheetTableBuilder::kMaxRows);
        m_rowCells.clear();
    }

    qsizetype m_wanted;
    std::optional<SheetTableBuilder> m_builder;
    int m_tableDepth = 0;
    int m_annotationDepth = 0;
    int m_paragraphDepth = 0;
    int m_paragraphs = 0;
    bool m_collecting = false;
    quint64 m_row = 0;
    quint64 m_column = 0;
    quint64 m_rowRepeat = 1;
    quint64 m_cellRepeat = 1;
    qsizetype m_cellStart = 0;
    std::string m_text;
    struct RowCell {
        quint32 column;
        qsizetype offset; // of its text in the builder's own text
        qsizetype length;
    };
    std::vector<RowCell> m_rowCells; // the current row's cells, to repeat the row
    quint64 m_rowTextLength = 0;
};

class ManifestHandler : public XmlHandler {
public:
    void startElement(const char *name, XmlAttributes) override
    {
        if (is(name, "encryption-data"))
            encrypted = true;
    }
    void endElement(const char *) override { }

    bool encrypted = false;
};

class OdsWorkbook final : public Workbook {
public:
    Outcome load(std::unique_ptr<ZipPackage> package)
    {
        m_package = std::move(package);
        const QString manifest = QStringLiteral("META-INF/manifest.xml");
        if (m_package->contains(manifest)) {
            ManifestHandler handler;
            // A damaged manifest does not keep a readable spreadsheet from being read.
            static_cast<void>(m_package->parse(manifest, handler));
            if (handler.encrypted)
                return Failure{QStringLiteral("パスワードで保護されたブックは読めません")};
        }
        if (!m_package->contains(QString::fromLatin1(kContent)))
            return zipWithoutWorkbook();
        // One pass reads every table: most callers read a sheet right after opening.
        std::optional<ContentHandler> parsed;
        const auto newHandler = [&]() -> XmlHandler & { return parsed.emplace(ContentHandler::kEveryTable); };
        if (const Outcome read = m_package->parse(QString::fromLatin1(kContent), newHandler); !read)
            return read;
        ContentHandler &content = *parsed;
        if (!content.isSpreadsheet)
            return zipWithoutWorkbook();
        m_sheetNames = content.tableNames;
        m_unread.assign(std::make_move_iterator(content.results.begin()), std::make_move_iterator(content.results.end()));
        return {};
    }

private:
    Result<SheetTable> readWorksheet(qsizetype index) const override
    {
        // The table read at opening is handed over once; a sheet read again is parsed again.
        if (std::size_t(index) < m_unread.size() && m_unread[index]) {
            Result<SheetTable> table = std::move(*m_unread[index]);
            m_unread[index].reset();
            return table;
        }
        std::optional<ContentHandler> parsed;
        if (const Outcome read = m_package->parse(QString::fromLatin1(kContent),
                                                  [&]() -> XmlHandler & { return parsed.emplace(index); });
            !read)
            return read.failure();
        ContentHandler &content = *parsed;
        if (content.results.empty())
            return corruptFile(QStringLiteral("シート「%1」がありません").arg(m_sheetNames[index]));
        return std::move(content.results.front());
    }

    std::unique_ptr<ZipPackage> m_package;
    mutable std::vector<std::optional<Result<SheetTable>>> m_unread;
};

} // namespace

Result<std::unique_ptr<Workbook>> openOdsWorkbook(std::unique_ptr<ZipPackage> package)
{
    std::unique_ptr<OdsWorkbook> book(new OdsWorkbook);
    if (const Outcome loaded = book->load(std::move(package)); !loaded)
        return loaded.failure();
    return std::unique_ptr<Workbook>(std::move(book));
}

} // namespace tessaly::workbook
