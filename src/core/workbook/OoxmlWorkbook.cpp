#include "core/workbook/OoxmlWorkbook.h"

#include "core/workbook/CellText.h"
#include "core/workbook/ZipPackage.h"

#include <QHash>

#include <charconv>
#include <cstring>
#include <string>

namespace tessaly::xls {
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
    explicit RelationshipsHandler(QString folder) : folder_(std::move(folder)) {}

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
        const Relationship relationship{typeName(type), ZipPackage::resolve(folder_, QString::fromUtf8(target))};
        byId.insert(QString::fromUtf8(id ? id : ""), relationship);
        ordered.append(relationship);
    }
    void endElement(const char *) override {}

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
    QString folder_;
};

RelationshipsHandler relationshipsOf(const ZipPackage &package, const QString &partName)
{
    const QString folder = folderOf(partName);
    RelationshipsHandler handler(folder);
    const QString name = (folder.isEmpty() ? QString() : folder + u'/') + QStringLiteral("_rels/")
        + partName.mid(partName.lastIndexOf(u'/') + 1) + QStringLiteral(".rels");
    QString ignored; // a part without relationships, or with damaged ones, simply has none
    if (package.contains(name))
        package.parse(name, handler, &ignored);
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
            inCellFormats_ = true;
        } else if (inCellFormats_ && is(name, "xf")) {
            const char *id = attribute(attributes, "numFmtId");
            cellFormats.push_back(id ? quint32(std::strtoul(id, nullptr, 10)) : 0);
        }
    }
    void endElement(const char *name) override
    {
        if (is(name, "cellXfs"))
            inCellFormats_ = false;
    }

    DateFormats formats;
    std::vector<quint32> cellFormats;

private:
    bool inCellFormats_ = false;
};

// Collects the text of a string item (<si>, <is>): its <t> and its runs' <t>, phonetic runs left out.
class RichText {
public:
    bool start(const char *name)
    {
        if (is(name, "rPh"))
            ++phoneticDepth_;
        else if (is(name, "t") && phoneticDepth_ == 0)
            return true;
        return false;
    }
    void end(const char *name)
    {
        if (is(name, "rPh"))
            --phoneticDepth_;
    }
    void append(const char *text, int length)
    {
        tooLong_ = tooLong_ || utf8_.size() + std::size_t(length) > kTextBytesLimit;
        if (!tooLong_)
            utf8_.append(text, std::size_t(length));
    }
    // Appends the collected text to out; false when it is longer than a cell may hold.
    bool finish(QString &out)
    {
        if (tooLong_)
            return false;
        const qsizetype start = out.size();
        out.append(QString::fromUtf8(utf8_.data(), qsizetype(utf8_.size())));
        utf8_.clear();
        decodeOoxmlEscapes(out, start);
        return out.size() - start <= SheetTableBuilder::kMaxTextLength;
    }

private:
    std::string utf8_;
    int phoneticDepth_ = 0;
    bool tooLong_ = false;
};

class SharedStringsHandler : public XmlHandler {
public:
    void startElement(const char *name, XmlAttributes) override
    {
        if (is(name, "si"))
            inItem_ = true;
        else if (inItem_)
            wantsText_ = text_.start(name);
    }
    void endElement(const char *name) override
    {
        wantsText_ = false;
        if (!is(name, "si")) {
            text_.end(name);
            return;
        }
        inItem_ = false;
        const qsizetype start = sharedText.size();
        if (!text_.finish(sharedText))
            return stop(SheetTableBuilder::textTooLong());
        strings.emplace_back(quint32(start), quint32(sharedText.size() - start));
        if (sharedText.size() >= qsizetype(0x7FFFFFFF) - SheetTableBuilder::kMaxTextLength)
            stop(QStringLiteral("共有文字列が多すぎます"));
    }
    void characters(const char *text, int length) override { text_.append(text, length); }

    QString sharedText;
    std::vector<std::pair<quint32, quint32>> strings;

private:
    RichText text_;
    bool inItem_ = false;
};

class OoxmlWorkbook final : public Workbook {
public:
    bool load(std::unique_ptr<ZipPackage> package, QString *errorString);

private:
    friend class SheetHandler;
    std::optional<SheetTable> readWorksheet(qsizetype index, QString *errorString) const override;

    std::unique_ptr<ZipPackage> package_;
    QStringList sheetParts_;
    bool uses1904_ = false;
    QString sharedText_;
    std::vector<std::pair<quint32, quint32>> sharedStrings_;
    std::vector<bool> xfIsDate_;
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
        : book_(book), builder_(book.sharedText_), out_(builder_.ownText())
    {
    }

    void startElement(const char *name, XmlAttributes attributes) override
    {
        if (inInline_) {
            wantsText_ = text_.start(name);
        } else if (is(name, "c")) {
            std::optional<quint32> column;
            std::optional<quint32> row;
            if (const char *reference = attribute(attributes, "r"))
                parseReference(reference, column, row);
            column_ = column ? *column : nextColumn_;
            cellRow_ = row ? *row : row_;
            nextColumn_ = column_ + 1;
            const char *type = attribute(attributes, "t");
            type_ = type ? type[0] : 'n';
            if (type && is(type, "inlineStr"))
                type_ = 'i';
            else if (type && is(type, "str"))
                type_ = 'f';
            const char *style = attribute(attributes, "s");
            style_ = style ? quint32(std::strtoul(style, nullptr, 10)) : 0;
            value_.clear();
        } else if (is(name, "v")) {
            value_.clear();
            wantsText_ = true;
        } else if (is(name, "is")) {
            inInline_ = true;
        } else if (is(name, "row")) {
            std::optional<quint32> column;
            std::optional<quint32> row;
            if (const char *reference = attribute(attributes, "r"))
                parseReference(reference, column, row);
            row_ = row ? *row : row_ + 1;
            nextColumn_ = 0;
        }
    }

    void endElement(const char *name) override
    {
        wantsText_ = false;
        if (inInline_) {
            if (is(name, "is"))
                inInline_ = false;
            else
                text_.end(name);
        } else if (is(name, "c")) {
            addCell();
            if (builder_.failed())
                stop(); // build() tells why
        } else if (is(name, "sheetData")) {
            stop();
        }
    }

    void characters(const char *text, int length) override
    {
        if (inInline_)
            text_.append(text, length);
        else if (value_.size() + std::size_t(length) <= kTextBytesLimit)
            value_.append(text, std::size_t(length));
        else
            stop(SheetTableBuilder::textTooLong());
    }

    std::optional<SheetTable> build(QString *errorString) { return builder_.build(errorString); }

private:
    void addCell()
    {
        const qsizetype start = out_.size();
        switch (type_) {
        case 's': {
            quint32 index = 0;
            const auto [end, error] = std::from_chars(value_.data(), value_.data() + value_.size(), index);
            if (error == std::errc() && end != value_.data() && index < book_.sharedStrings_.size()) {
                const auto [offset, length] = book_.sharedStrings_[index];
                builder_.addSharedText(cellRow_, column_, offset, length);
            }
            return;
        }
        case 'i':
            if (!text_.finish(out_))
                return stop(SheetTableBuilder::textTooLong());
            break;
        case 'b':
            if (!value_.empty())
                out_.append(value_ == "1" || value_ == "true" ? QLatin1StringView("TRUE") : QLatin1StringView("FALSE"));
            break;
        case 'd': {
            const QString iso = QString::fromUtf8(value_.data(), qsizetype(value_.size()));
            if (!appendIsoDateTime(out_, iso))
                out_.append(iso);
            break;
        }
        case 'n': {
            double number = 0;
            const auto [end, error] = std::from_chars(value_.data(), value_.data() + value_.size(), number);
            if (error == std::errc() && end == value_.data() + value_.size()) {
                if (style_ < book_.xfIsDate_.size() && book_.xfIsDate_[style_])
                    appendDateTime(out_, number, book_.uses1904_);
                else
                    appendNumber(out_, number);
                break;
            }
            [[fallthrough]]; // not a number after all: shown as written
        }
        default: // formula strings (str), errors (e)
            appendText();
            break;
        }
        builder_.addOwnText(cellRow_, column_, start);
    }

    void appendText()
    {
        const qsizetype start = out_.size();
        out_.append(QString::fromUtf8(value_.data(), qsizetype(value_.size())));
        decodeOoxmlEscapes(out_, start);
    }

    const OoxmlWorkbook &book_;
    SheetTableBuilder builder_;
    QString &out_;
    RichText text_;
    std::string value_;
    bool inInline_ = false;
    char type_ = 'n';
    quint32 style_ = 0;
    quint32 row_ = quint32(-1); // the first row without a reference is row 0
    quint32 cellRow_ = 0;
    quint32 column_ = 0;
    quint32 nextColumn_ = 0;
};

bool OoxmlWorkbook::load(std::unique_ptr<ZipPackage> package, QString *errorString)
{
    package_ = std::move(package);
    QString workbookPart = relationshipsOf(*package_, QString()).targetOfType(QStringLiteral("officeDocument"));
    if (workbookPart.isEmpty() || !package_->contains(workbookPart))
        workbookPart = QStringLiteral("xl/workbook.xml");
    if (!package_->contains(workbookPart)) {
        *errorString = QStringLiteral("ZIP ファイルですが、ブックが入っていません");
        return false;
    }
    WorkbookHandler workbook;
    if (!package_->parse(workbookPart, workbook, errorString))
        return false;
    uses1904_ = workbook.uses1904;

    // Worksheets only: chart sheets, dialog sheets and macro sheets present no table.
    const RelationshipsHandler relationships = relationshipsOf(*package_, workbookPart);
    for (const auto &[name, id] : std::as_const(workbook.sheets)) {
        const auto found = relationships.byId.constFind(id);
        if (found != relationships.byId.cend() && found->type == u"worksheet") {
            sheetNames_.append(name);
            sheetParts_.append(found->target);
        }
    }

    const QString stylesPart = relationships.targetOfType(QStringLiteral("styles"));
    if (!stylesPart.isEmpty() && package_->contains(stylesPart)) {
        StylesHandler styles;
        if (!package_->parse(stylesPart, styles, errorString))
            return false;
        xfIsDate_.reserve(styles.cellFormats.size());
        for (const quint32 format : styles.cellFormats)
            xfIsDate_.push_back(styles.formats.isDate(format));
    }

    const QString stringsPart = relationships.targetOfType(QStringLiteral("sharedStrings"));
    if (!stringsPart.isEmpty() && package_->contains(stringsPart)) {
        std::optional<SharedStringsHandler> strings;
        if (!package_->parse(stringsPart, [&]() -> XmlHandler & { return strings.emplace(); }, errorString))
            return false;
        sharedText_ = std::move(strings->sharedText);
        sharedStrings_ = std::move(strings->strings);
    }
    return true;
}

std::optional<SheetTable> OoxmlWorkbook::readWorksheet(qsizetype index, QString *errorString) const
{
    std::optional<SheetHandler> handler;
    if (!package_->parse(sheetParts_[index], [&]() -> XmlHandler & { return handler.emplace(*this); }, errorString))
        return std::nullopt;
    return handler->build(errorString);
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
            const int digit = c >= u'0' && c <= u'9' ? c - u'0'
                : (c | 0x20) >= u'a' && (c | 0x20) <= u'f' ? (c | 0x20) - u'a' + 10 : -1;
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

std::unique_ptr<Workbook> openOoxmlWorkbook(std::unique_ptr<ZipPackage> package, QString *errorString)
{
    std::unique_ptr<OoxmlWorkbook> book(new OoxmlWorkbook);
    if (!book->load(std::move(package), errorString))
        return nullptr;
    return book;
}

} // namespace tessaly::xls
