#include "core/document/DocumentEncoding.h"

#include "core/document/CodeRange.h"
#include "core/document/XmlName.h"
#include "core/settings/Settings.h"

#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <optional>
#include <span>

namespace tessaly {

namespace {

struct CodeEntry {
    char32_t codePoint;
    quint32 code;
};

struct AsciiMask {
    quint64 low;
    quint64 high;
    bool has(char16_t c) const { return c < 64 ? (low >> c) & 1 : (high >> (c - 64)) & 1; }
};

#include "core/document/CharsetTables.inc"

constexpr AsciiMask kAllAscii = {~0ULL, ~0ULL};

enum class Kind {
    Utf8,
    Unicode, // UTF-16 and UTF-32 through Qt: every character
    ShiftJis, // one or two bytes from a table
    EucJp, // two or three bytes from a table
    Iso2022Jp, // JIS X 0208 codes from a table, between ESC $ B and ESC ( B
    Repertoire, // through Qt, within a table of characters
    RoundTrip, // a set without a table: through Qt, where Qt reads its own bytes back
};

struct KnownCharset {
    std::initializer_list<const char *> names; // lower case, without '-', '_' and spaces
    Kind kind;
    AsciiMask ascii;
    std::span<const CodeEntry> codes;
    std::span<const CodeRange> ranges;
};

// Aliases as Java, Python and glibc spell them. A name that means Shift_JIS to one decoder and
// Windows-31J to another (MS_Kanji) gets the characters both agree on.
const KnownCharset kKnownCharsets[] = {
    {{"utf8"}, Kind::Utf8, kAllAscii, {}, {}},
    {{"utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"}, Kind::Unicode, kAllAscii, {}, {}},
    {{"shiftjis", "sjis", "mskanji", "xsjis", "csshiftjis"}, Kind::ShiftJis, kShiftJisAscii, kShiftJis, {}},
    {{"windows31j", "cp932", "ms932", "cswindows31j", "xmscp932"}, Kind::ShiftJis, kWindows31JAscii, kWindows31J, {}},
    {{"eucjp", "xeucjp", "cseucpkdfmtjapanese"}, Kind::EucJp, kEucJpAscii, kEucJp, {}},
    {{"iso2022jp", "csiso2022jp"}, Kind::Iso2022Jp, kIso2022JpAscii, kIso2022Jp, {}},
    {{"usascii", "ascii", "csascii"}, Kind::Repertoire, kUsAsciiAscii, {}, {}},
    {{"iso88591", "latin1", "l1", "iso885911987", "csisolatin1"}, Kind::Repertoire, kLatin1Ascii, {}, kLatin1},
    {{"iso885915", "latin9"}, Kind::Repertoire, kLatin9Ascii, {}, kLatin9},
    {{"windows1252", "cp1252"}, Kind::Repertoire, kWindows1252Ascii, {}, kWindows1252},
    {{"windows1251", "cp1251"}, Kind::Repertoire, kWindows1251Ascii, {}, kWindows1251},
    {{"koi8r", "cskoi8r"}, Kind::Repertoire, kKoi8RAscii, {}, kKoi8R},
    {{"gb2312", "euccn", "csgb2312"}, Kind::Repertoire, kGb2312Ascii, {}, kGb2312},
    {{"gbk", "cp936"}, Kind::Repertoire, kGbkAscii, {}, kGbk},
    {{"gb18030"}, Kind::Repertoire, kGb18030Ascii, {}, kGb18030},
    {{"big5", "csbig5"}, Kind::Repertoire, kBig5Ascii, {}, kBig5},
    {{"euckr", "cseuckr"}, Kind::Repertoire, kEucKrAscii, {}, kEucKr},
};

QByteArray aliasKey(const QString &name)
{
    QByteArray key;
    for (const QChar c : name) {
        if (c != u'-' && c != u'_' && c != u' ')
            key += char(c.toLower().unicode());
    }
    return key;
}

const KnownCharset *knownCharset(const QString &name)
{
    const QByteArray key = aliasKey(name);
    for (const KnownCharset &known : kKnownCharsets) {
        if (std::any_of(known.names.begin(), known.names.end(), [&](const char *alias) { return key == alias; }))
            return &known;
    }
    return nullptr;
}

const CodeEntry *findCode(std::span<const CodeEntry> codes, char32_t codePoint)
{
    const auto found = std::lower_bound(codes.begin(), codes.end(), codePoint,
                                        [](const CodeEntry &entry, char32_t c) { return entry.codePoint < c; });
    return found != codes.end() && found->codePoint == codePoint ? &*found : nullptr;
}

void appendNumber(QByteArray &out, quint32 value, int base)
{
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    for (char *digit = digits; digit != end; ++digit)
        *digit = char(std::toupper(static_cast<unsigned char>(*digit)));
    if (base == 16)
        out.append(std::max<qsizetype>(0, 4 - (end - digits)), '0');
    out.append(digits, end - digits);
}

// A character written as a reference in text, or as _xHHHH_ inside a tag.
void appendUnwritable(QByteArray &out, char32_t codePoint, bool inTag)
{
    out += inTag ? "_x" : "&#";
    appendNumber(out, quint32(codePoint), inTag ? 16 : 10);
    out += inTag ? '_' : ';';
}

void appendUtf8(QByteArray &out, char32_t c)
{
    if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
    } else {
        if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
        }
        out += char(0x80 | ((c >> 6) & 0x3F));
    }
    out += char(0x80 | (c & 0x3F));
}

} // namespace

struct DocumentCharset::Private {
    Kind kind = Kind::RoundTrip;
    AsciiMask ascii = kAllAscii;
    std::span<const CodeEntry> codes;
    std::span<const CodeRange> ranges;
    QByteArray qtName;
    // Reused for every run of characters: an instance is used by one thread at a time.
    mutable QStringEncoder encoder;
    mutable QStringDecoder decoder;

    bool usesQt() const { return kind == Kind::Unicode || kind == Kind::Repertoire || kind == Kind::RoundTrip; }

    // The bytes of a run of characters as Qt writes them, or nothing when Qt cannot read them
    // back (it writes a substitute for a character it cannot hold).
    std::optional<QByteArray> qtBytes(QStringView run) const
    {
        QByteArray bytes = encoder.encode(run);
        const bool exact = !encoder.hasError() && (kind == Kind::Unicode || QString(decoder.decode(bytes)) == run)
                           && !decoder.hasError();
        if (encoder.hasError() || decoder.hasError()) {
            encoder = QStringEncoder(qtName.constData(), QStringConverter::Flag::Stateless);
            decoder = QStringDecoder(qtName.constData(), QStringConverter::Flag::Stateless);
        }
        return exact ? std::optional(std::move(bytes)) : std::nullopt;
    }

    bool canWrite(char32_t c) const
    {
        if (c < 0x80)
            return ascii.has(char16_t(c));
        switch (kind) {
        case Kind::Utf8:
        case Kind::Unicode:
            return true;
        case Kind::ShiftJis:
        case Kind::EucJp:
        case Kind::Iso2022Jp:
            return findCode(codes, c) != nullptr;
        case Kind::Repertoire:
            if (!inRanges(ranges, c))
                return false;
            break;
        case Kind::RoundTrip:
            break;
        }
        const char32_t one[] = {c};
        return qtBytes(QString::fromUcs4(one, 1)).has_value();
    }

    void appendTableCode(QByteArray &out, quint32 code) const
    {
        if (code > 0xFFFF)
            out += char(code >> 16);
        if (code > 0xFF)
            out += char(code >> 8);
        out += char(code);
    }

    // Where a document is being written: inside a tag or not, and in ISO-2022-JP whether the
    // bytes are in JIS X 0208 (after ESC $ B).
    struct Writer {
        QByteArray &out;
        bool inTag = false;
        bool jis = false;

        void toAscii()
        {
            if (jis)
                out += "\x1b(B";
            jis = false;
        }
    };

    void append(QStringView text, QByteArray &out) const;
    // Each appends from text[i] on and returns where it stopped.
    qsizetype appendAscii(QStringView text, qsizetype i, Writer &writer) const;
    // Nothing (returns i) when Qt cannot write the run exactly.
    qsizetype appendQtRun(QStringView text, qsizetype i, QByteArray &out) const;
    qsizetype appendCodePoint(QStringView text, qsizetype i, Writer &writer) const;
};

void DocumentCharset::Private::append(QStringView text, QByteArray &out) const
{
    Writer writer{out};
    for (qsizetype i = 0; i < text.size();) {
        if (text[i].unicode() < 0x80 && kind != Kind::Unicode) {
            i = appendAscii(text, i, writer);
            continue;
        }
        if (usesQt()) {
            if (const qsizetype end = appendQtRun(text, i, out); end > i) {
                i = end;
                continue;
            }
        }
        i = appendCodePoint(text, i, writer);
    }
    writer.toAscii();
}

qsizetype DocumentCharset::Private::appendAscii(QStringView text, qsizetype i, Writer &writer) const
{
    // A run of ASCII, copied through a raw pointer. Markup is all ASCII: following '<' and '>'
    // tells whether a reference is allowed where a character cannot be written.
    writer.toAscii();
    QByteArray &out = writer.out;
    qsizetype size = out.size();
    out.resize(size + (text.size() - i));
    char *data = out.data();
    for (; i < text.size() && text[i].unicode() < 0x80; ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'<')
            writer.inTag = true;
        else if (c == u'>')
            writer.inTag = false;
        if (!ascii.has(c))
            break;
        data[size++] = char(c);
    }
    out.truncate(size);
    if (i < text.size() && text[i].unicode() < 0x80)
        appendUnwritable(out, text[i++].unicode(), writer.inTag);
    return i;
}

qsizetype DocumentCharset::Private::appendQtRun(QStringView text, qsizetype i, QByteArray &out) const
{
    // The longest run of characters the table allows, encoded in one go.
    const bool asciiAsBytes = kind != Kind::Unicode;
    qsizetype end = i;
    while (end < text.size() && (text[end].unicode() >= 0x80 || !asciiAsBytes)) {
        char32_t c = text[end].unicode();
        const bool pair = QChar::isHighSurrogate(c) && end + 1 < text.size() && text[end + 1].isLowSurrogate();
        if (pair)
            c = QChar::surrogateToUcs4(text[end], text[end + 1]);
        if (kind == Kind::Repertoire && !inRanges(ranges, c))
            break;
        end += pair ? 2 : 1;
    }
    if (end > i) {
        if (const std::optional<QByteArray> bytes = qtBytes(text.mid(i, end - i))) {
            out += *bytes;
            return end;
        }
    }
    return i;
}

qsizetype DocumentCharset::Private::appendCodePoint(QStringView text, qsizetype i, Writer &writer) const
{
    static constexpr char kToJis[] = "\x1b$B";
    QByteArray &out = writer.out;
    char32_t c = text[i].unicode();
    qsizetype length = 1;
    if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
        c = QChar::surrogateToUcs4(text[i], text[i + 1]);
        length = 2;
    }
    const CodeEntry *entry = nullptr;
    switch (kind) {
    case Kind::Utf8:
        appendUtf8(out, c);
        return i + length;
    case Kind::ShiftJis:
    case Kind::EucJp:
        if ((entry = findCode(codes, c)))
            appendTableCode(out, entry->code);
        break;
    case Kind::Iso2022Jp:
        if ((entry = findCode(codes, c))) {
            if (!writer.jis)
                out += kToJis;
            writer.jis = true;
            appendTableCode(out, entry->code);
        }
        break;
    case Kind::Unicode:
    case Kind::Repertoire:
    case Kind::RoundTrip:
        if (kind == Kind::Repertoire && !inRanges(ranges, c))
            break;
        if (const std::optional<QByteArray> bytes = qtBytes(text.mid(i, length))) {
            out += *bytes;
            return i + length;
        }
        break;
    }
    if (!entry) {
        writer.toAscii();
        appendUnwritable(out, c, writer.inTag);
    }
    return i + length;
}

DocumentCharset::DocumentCharset(const QString &name)
    : m_name(name)
    , d(std::make_unique<Private>())
{
    d->qtName = trimSpaces(name).toLatin1(); // as the declaration names it
    if (const KnownCharset *known = knownCharset(name)) {
        d->kind = known->kind;
        d->ascii = known->ascii;
        d->codes = known->codes;
        d->ranges = known->ranges;
    }
    if (d->usesQt()) {
        d->encoder = QStringEncoder(d->qtName.constData(), QStringConverter::Flag::Stateless);
        d->decoder = QStringDecoder(d->qtName.constData(), QStringConverter::Flag::Stateless);
        // A set without a table keeps ASCII as bytes only where Qt writes it so.
        if (d->kind == Kind::RoundTrip && d->encoder.isValid()) {
            for (char16_t c = 0; c < 0x80; ++c) {
                const QChar one(c);
                if (d->qtBytes(QStringView(&one, 1)) != QByteArray(1, char(c)))
                    (c < 64 ? d->ascii.low : d->ascii.high) &= ~(1ULL << (c % 64));
            }
        }
    }
}

DocumentCharset::~DocumentCharset() = default;
DocumentCharset::DocumentCharset(DocumentCharset &&) noexcept = default;
DocumentCharset &DocumentCharset::operator=(DocumentCharset &&) noexcept = default;

bool DocumentCharset::isValid() const
{
    return !d->usesQt() || d->encoder.isValid();
}

bool DocumentCharset::isAsciiCompatible() const
{
    return d->kind != Kind::Unicode;
}

bool DocumentCharset::canWrite(char32_t codePoint) const
{
    return d->canWrite(codePoint);
}

void DocumentCharset::appendDocument(QStringView document, QByteArray &out) const
{
    d->append(document, out);
}

namespace {

// What element content does with an ASCII character: kept, escaped or dropped.
enum class AsciiInText : quint8 { Keep, Escape, Drop };

constexpr std::array<AsciiInText, 128> asciiInText()
{
    std::array<AsciiInText, 128> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = AsciiInText::Drop;
    table['\t'] = table['\n'] = AsciiInText::Keep;
    table['\r'] = table['&'] = table['<'] = table['>'] = AsciiInText::Escape;
    return table;
}

constexpr std::array<AsciiInText, 128> kAsciiInText = asciiInText();

// A non-ASCII UTF-16 unit that XML 1.0 cannot hold where it stands.
bool isDroppedUnit(QStringView text, qsizetype i)
{
    const char16_t c = text[i].unicode();
    if (c == 0xFFFE || c == 0xFFFF)
        return true;
    if (QChar::isHighSurrogate(c))
        return i + 1 >= text.size() || !text[i + 1].isLowSurrogate();
    return QChar::isLowSurrogate(c) && (i == 0 || !text[i - 1].isHighSurrogate());
}

const char *escapeOf(char16_t c)
{
    switch (c) {
    case u'&':
        return "&amp;";
    case u'<':
        return "&lt;";
    case u'>':
        return "&gt;";
    default:
        return "&#13;";
    }
}

} // namespace

std::array<bool, 128> DocumentCharset::plainAsciiInText() const
{
    std::array<bool, 128> plain{};
    for (char16_t c = 0; c < 0x80; ++c)
        plain[c] = isAsciiCompatible() && kAsciiInText[c] == AsciiInText::Keep && d->ascii.has(c);
    return plain;
}

void DocumentCharset::appendEscapedText(QStringView text, QByteArray &out) const
{
    if (!isAsciiCompatible()) {
        QString escaped;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = text[i].unicode();
            if (c < 0x80 && kAsciiInText[c] != AsciiInText::Keep) {
                if (kAsciiInText[c] == AsciiInText::Escape)
                    escaped += QLatin1StringView(escapeOf(c));
            } else if (c < 0x80 || !isDroppedUnit(text, i)) {
                escaped += QChar(c);
            }
        }
        d->append(escaped, out);
        return;
    }
    qsizetype i = 0;
    while (i < text.size()) {
        // A run of ASCII characters kept as they are, copied through a raw pointer: most cells
        // are nothing else.
        qsizetype size = out.size();
        out.resize(size + (text.size() - i));
        char *data = out.data();
        for (; i < text.size(); ++i) {
            const char16_t c = text[i].unicode();
            if (c >= 0x80 || kAsciiInText[c] != AsciiInText::Keep || !d->ascii.has(c))
                break;
            data[size++] = char(c);
        }
        out.truncate(size);
        if (i == text.size())
            break;
        const char16_t c = text[i].unicode();
        if (c < 0x80) {
            if (kAsciiInText[c] == AsciiInText::Escape)
                out += escapeOf(c);
            else if (kAsciiInText[c] == AsciiInText::Keep)
                appendUnwritable(out, c, false);
            ++i;
            continue;
        }
        // A run of other characters, without the ones XML cannot hold. A control character
        // inside the run goes as in the document's text: it must not end the run, or ISO-2022-JP
        // would return to ASCII where the whole document does not.
        const auto dropsAt = [&](qsizetype k) {
            const char16_t unit = text[k].unicode();
            return unit < 0x80 ? kAsciiInText[unit] == AsciiInText::Drop : isDroppedUnit(text, k);
        };
        qsizetype end = i;
        bool dropped = false;
        while (end < text.size() && (text[end].unicode() >= 0x80 || dropsAt(end))) {
            dropped = dropped || dropsAt(end);
            ++end;
        }
        if (!dropped) {
            d->append(text.mid(i, end - i), out);
        } else {
            QString kept;
            for (qsizetype k = i; k < end; ++k) {
                if (!dropsAt(k))
                    kept += text[k];
            }
            d->append(kept, out);
        }
        i = end;
    }
}

QByteArray DocumentCharset::byteOrderMark() const
{
    const QByteArray key = aliasKey(m_name);
    if (key != "utf16" && key != "utf32")
        return {};
    return QStringEncoder(d->qtName.constData(), QStringConverter::Flag::Stateless).encode(u"\uFEFF");
}

QString DocumentCharset::writableName(QStringView name) const
{
    QString mapped;
    for (qsizetype i = 0; i < name.size(); ++i) {
        char32_t c = name[i].unicode();
        const bool pair = name[i].isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate();
        if (pair)
            c = QChar::surrogateToUcs4(name[i], name[i + 1]);
        if (canWrite(c))
            mapped += name.mid(i, pair ? 2 : 1);
        else
            mapped += escapedNameCharacter(c);
        i += pair ? 1 : 0;
    }
    return mapped;
}

QString DocumentCharset::unknownText() const
{
    return QStringLiteral("文字コード「%1」には対応していません。XML の設定で文字コードを確かめて下さい。").arg(m_name);
}

Result<QByteArray> encodeDocument(QStringView document, const QString &charset)
{
    const DocumentCharset target(charset);
    if (!target.isValid())
        return Failure{target.unknownText()};
    QByteArray bytes;
    bytes.reserve(document.size() + document.size() / 8);
    target.appendDocument(document, bytes);
    return bytes;
}

Result<QByteArray> encodeText(QStringView text, const QString &charset)
{
    const DocumentCharset target(charset);
    if (!target.isValid())
        return Failure{target.unknownText()};
    const QList<uint> codePoints = text.toUcs4();
    if (!std::all_of(codePoints.begin(), codePoints.end(), [&](uint c) { return target.canWrite(c); }))
        return Failure{QStringLiteral("「%1」には文字コード「%2」で表せない文字が含まれています。").arg(text.toString(), charset)};
    QByteArray bytes;
    target.appendDocument(text, bytes);
    return bytes;
}

} // namespace tessaly
