#include "core/workbook/OdsWorkbook.h"

#include "core/workbook/CellText.h"
#include "core/workbook/ZipPackage.h"

#include <charconv>
#include <cstring>
#include <string>

namespace tessaly::xls {
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
        case 'D': seconds += value * 86400; break;
        case 'H': seconds += value * 3600; break;
        case 'M': seconds += time ? value * 60 : value * 30 * 86400; break;
        case 'S': seconds += value; break;
        default: return false;
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
    explicit ContentHandler(qsizetype wanted) : wanted_(wanted) {}

    // Each table read: the table or why it could not be.
    struct Result {
        std::optional<SheetTable> table;
        QString error;
    };

    void startElement(const char *name, XmlAttributes attributes) override
    {
        if (annotationDepth_ > 0) {
            ++annotationDepth_;
            return;
        }
        if (is(name, "spreadsheet")) {
            isSpreadsheet = true;
        } else if (is(name, "table")) {
            if (tableDepth_++ == 0 && isSpreadsheet) {
                const char *tableName = attribute(attributes, "name", kTable);
                tableNames.append(QString::fromUtf8(tableName ? tableName : ""));
                row_ = 0;
                if (wanted_ == kEveryTable || wanted_ == tableNames.size() - 1)
                    builder_.emplace();
            }
        } else if (!inWantedTable()) {
            return;
        } else if (is(name, "table-row")) {
            rowRepeat_ = repeatCount(attributes, "number-rows-repeated");
            column_ = 0;
            rowCells_.clear();
            rowTextLength_ = 0;
        } else if (is(name, "table-cell") || is(name, "covered-table-cell")) {
            startCell(attributes, is(name, "table-cell"));
        } else if (collecting_) {
            startInCell(name, attributes);
        }
    }

    void endElement(const char *name) override
    {
        if (annotationDepth_ > 0) {
            --annotationDepth_;
            return;
        }
        if (is(name, "table")) {
            if (--tableDepth_ == 0 && builder_)
                endTable();
        } else if (!inWantedTable()) {
            return;
        } else if (is(name, "table-cell") || is(name, "covered-table-cell")) {
            endCell();
        } else if (is(name, "table-row")) {
            endRow();
        } else if (is(name, "p") || is(name, "h")) {
            --paragraphDepth_;
            wantsText_ = collecting_ && paragraphDepth_ > 0;
        }
    }

    void characters(const char *text, int length) override
    {
        text_.append(text, std::size_t(length));
        stopWhenTooLong();
    }

    bool isSpreadsheet = false;
    QStringList tableNames;
    std::vector<Result> results;

private:
    // Cells count inside a table being read, until it passes a bound.
    bool inWantedTable() const
    {
        return builder_ && tableDepth_ == 1 && !builder_->failed();
    }

    void endTable()
    {
        Result result;
        result.table = builder_->build(&result.error);
        results.push_back(std::move(result));
        builder_.reset();
        if (wanted_ != kEveryTable)
            stop();
    }

    void startCell(XmlAttributes attributes, bool holdsValue)
    {
        cellRepeat_ = repeatCount(attributes, "number-columns-repeated");
        text_.clear();
        collecting_ = false;
        wantsText_ = false;
        paragraphDepth_ = 0;
        paragraphs_ = 0;
        QString &out = builder_->ownText();
        cellStart_ = out.size();
        const char *type = attribute(attributes, "value-type", kCalcExtension);
        if (!type || !is(type, "error"))
            type = attribute(attributes, "value-type", kOffice);
        if (!holdsValue || !type)
            return; // covered (merged) cells and cells without a value show nothing
        if (is(type, "string") || is(type, "error")) {
            collecting_ = true;
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
            annotationDepth_ = 1;
            wantsText_ = false;
        } else if (is(name, "p") || is(name, "h")) {
            if (paragraphDepth_++ == 0 && paragraphs_++ > 0)
                text_.push_back('\n');
            wantsText_ = true;
        } else if (paragraphDepth_ > 0 && is(name, "s")) {
            const char *count = attribute(attributes, "c", kText);
            const quint64 spaces = count ? std::strtoull(count, nullptr, 10) : 1;
            text_.append(std::size_t(std::min<quint64>(std::max<quint64>(spaces, 1), SheetTableBuilder::kMaxTextLength + 1)), ' ');
        } else if (paragraphDepth_ > 0 && is(name, "tab")) {
            text_.push_back('\t');
        } else if (paragraphDepth_ > 0 && is(name, "line-break")) {
            text_.push_back('\n');
        }
        stopWhenTooLong();
    }

    // UTF-8 bytes past four per character surely pass the cell limit: collecting stops there, so
    // that a small compressed part cannot make one text huge in memory.
    void stopWhenTooLong()
    {
        if (text_.size() > 4 * std::size_t(SheetTableBuilder::kMaxTextLength))
            stop(SheetTableBuilder::textTooLong());
    }

    void endCell()
    {
        QString &out = builder_->ownText();
        if (collecting_)
            out.append(QString::fromUtf8(text_.data(), qsizetype(text_.size())));
        collecting_ = false;
        wantsText_ = false;
        paragraphDepth_ = 0;
        const qsizetype length = out.size() - cellStart_;
        if (length > SheetTableBuilder::kMaxTextLength)
            return stop(SheetTableBuilder::textTooLong());
        if (length > 0 && column_ < SheetTableBuilder::kMaxColumns) {
            const quint64 repeats = std::min<quint64>(cellRepeat_, SheetTableBuilder::kMaxColumns - column_);
            if (repeats > 1 && !builder_->fits(repeats, quint64(length)))
                return;
            for (quint64 i = 0; i < repeats; ++i) {
                const RowCell cell{quint32(column_ + i), cellStart_, length};
                builder_->addText(quint32(std::min<quint64>(row_, SheetTableBuilder::kMaxRows)), cell.column, cell.offset, cell.length);
                rowCells_.push_back(cell);
            }
            rowTextLength_ += repeats * quint64(length);
        }
        column_ = std::min<quint64>(column_ + cellRepeat_, SheetTableBuilder::kMaxColumns);
    }

    // A repeated row is expanded only when it holds cells, and only up to the last row.
    void endRow()
    {
        if (!rowCells_.empty() && rowRepeat_ > 1 && row_ + 1 < SheetTableBuilder::kMaxRows) {
            const quint64 copies = std::min<quint64>(rowRepeat_, SheetTableBuilder::kMaxRows - row_) - 1;
            if (!builder_->fits(copies * rowCells_.size(), rowTextLength_ / rowCells_.size()))
                return;
            for (quint64 copy = 1; copy <= copies; ++copy) {
                for (const RowCell &cell : rowCells_)
                    builder_->addText(quint32(row_ + copy), cell.column, cell.offset, cell.length);
            }
        }
        row_ = std::min<quint64>(row_ + rowRepeat_, SheetTableBuilder::kMaxRows);
        rowCells_.clear();
    }

    qsizetype wanted_;
    std::optional<SheetTableBuilder> builder_;
    int tableDepth_ = 0;
    int annotationDepth_ = 0;
    int paragraphDepth_ = 0;
    int paragraphs_ = 0;
    bool collecting_ = false;
    quint64 row_ = 0;
    quint64 column_ = 0;
    quint64 rowRepeat_ = 1;
    quint64 cellRepeat_ = 1;
    qsizetype cellStart_ = 0;
    std::string text_;
    struct RowCell {
        quint32 column;
        qsizetype offset; // of its text in the builder's own text
        qsizetype length;
    };
    std::vector<RowCell> rowCells_; // the current row's cells, to repeat the row
    quint64 rowTextLength_ = 0;
};

class ManifestHandler : public XmlHandler {
public:
    void startElement(const char *name, XmlAttributes) override
    {
        if (is(name, "encryption-data"))
            encrypted = true;
    }
    void endElement(const char *) override {}

    bool encrypted = false;
};

class OdsWorkbook final : public Workbook {
public:
    bool load(std::unique_ptr<ZipPackage> package, QString *errorString)
    {
        package_ = std::move(package);
        const QString manifest = QStringLiteral("META-INF/manifest.xml");
        if (package_->contains(manifest)) {
            ManifestHandler handler;
            QString ignored; // a damaged manifest does not keep a readable spreadsheet from being read
            package_->parse(manifest, handler, &ignored);
            if (handler.encrypted) {
                *errorString = QStringLiteral("パスワードで保護されたブックは読めません");
                return false;
            }
        }
        if (!package_->contains(QString::fromLatin1(kContent))) {
            *errorString = QStringLiteral("ZIP ファイルですが、ブックが入っていません");
            return false;
        }
        // One pass reads every table: most callers read a sheet right after opening.
        std::optional<ContentHandler> parsed;
        const auto newHandler = [&]() -> XmlHandler & { return parsed.emplace(ContentHandler::kEveryTable); };
        if (!package_->parse(QString::fromLatin1(kContent), newHandler, errorString))
            return false;
        ContentHandler &content = *parsed;
        if (!content.isSpreadsheet) {
            *errorString = QStringLiteral("ZIP ファイルですが、ブックが入っていません");
            return false;
        }
        sheetNames_ = content.tableNames;
        unread_ = std::move(content.results);
        return true;
    }

private:
    std::optional<SheetTable> readWorksheet(qsizetype index, QString *errorString) const override
    {
        // The table read at opening is handed over once; a sheet read again is parsed again.
        std::optional<SheetTable> table;
        if (std::size_t(index) < unread_.size() && (unread_[index].table || !unread_[index].error.isEmpty())) {
            table = std::move(unread_[index].table);
            *errorString = unread_[index].error;
            unread_[index] = {};
            return table;
        }
        std::optional<ContentHandler> parsed;
        if (!package_->parse(QString::fromLatin1(kContent), [&]() -> XmlHandler & { return parsed.emplace(index); }, errorString))
            return std::nullopt;
        ContentHandler &content = *parsed;
        if (content.results.empty()) {
            *errorString = QStringLiteral("ファイルが壊れています（シート「%1」がありません）").arg(sheetNames_[index]);
            return std::nullopt;
        }
        *errorString = content.results.front().error;
        return std::move(content.results.front().table);
    }

    std::unique_ptr<ZipPackage> package_;
    mutable std::vector<ContentHandler::Result> unread_;
};

} // namespace

std::unique_ptr<Workbook> openOdsWorkbook(std::unique_ptr<ZipPackage> package, QString *errorString)
{
    std::unique_ptr<OdsWorkbook> book(new OdsWorkbook);
    if (!book->load(std::move(package), errorString))
        return nullptr;
    return book;
}

} // namespace tessaly::xls
