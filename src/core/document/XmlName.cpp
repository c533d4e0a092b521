#include "core/document/XmlName.h"

#include "core/document/CodeRange.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace tessaly {
namespace {

#include "core/document/XmlNameTables.inc"

bool isNameStartChar(char32_t c)
{
    return inRanges(kNameStartRanges, c);
}

bool isNameChar(char32_t c)
{
    return inRanges(kNameRanges, c);
}

bool isHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
}

// The character that an _xHHHH_ escape starting at `at` stands for (four to six hex digits naming a
// character other than U+0000 or a surrogate), with the index of its closing underscore.
std::optional<std::pair<char32_t, qsizetype>> escapeAt(QStringView name, qsizetype at)
{
    if (name.mid(at, 2) != u"_x")
        return std::nullopt;
    const qsizetype end = name.indexOf(u'_', at + 2);
    const qsizetype digits = end - at - 2;
    if (end < 0 || digits < 4 || digits > 6)
        return std::nullopt;
    const QStringView hex = name.mid(at + 2, digits);
    if (!std::all_of(hex.begin(), hex.end(), [](QChar c) { return isHexDigit(c.unicode()); }))
        return std::nullopt;
    const uint code = hex.toUInt(nullptr, 16);
    if (code == 0 || code > 0x10FFFF || QChar::isSurrogate(code))
        return std::nullopt;
    return std::pair{char32_t(code), end};
}

// Calls visit(codePoint, allowed, index) for each code point; a lone surrogate is passed as itself
// (never allowed).
template <typename Visit> void forEachCodePoint(QStringView name, Visit visit)
{
    bool first = true;
    for (qsizetype i = 0; i < name.size(); ++i) {
        char32_t c = name[i].unicode();
        const qsizetype at = i;
        if (QChar::isHighSurrogate(c) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(name[i], name[i + 1]);
            ++i;
        }
        const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
        visit(c, !surrogate && (first ? isNameStartChar(c) : isNameChar(c)), at);
        first = false;
    }
}

} // namespace

bool isXmlName(QStringView name)
{
    bool valid = !name.isEmpty();
    forEachCodePoint(name, [&valid](char32_t, bool allowed, qsizetype) { valid = valid && allowed; });
    return valid;
}

QString escapedNameCharacter(char32_t c)
{
    return QStringLiteral("_x") + QString::number(uint(c), 16).toUpper().rightJustified(4, u'0') + u'_';
}

QString toXmlName(QStringView name)
{
    if (isXmlName(name) && !name.contains(u"_x"))
        return name.toString();
    QString mapped;
    mapped.reserve(name.size() + 16);
    // An underscore that starts what reads as an escape is escaped itself, so that mapping the
    // name back gives the heading exactly.
    forEachCodePoint(name, [&mapped, name](char32_t c, bool allowed, qsizetype at) {
        if (allowed && !(c == U'_' && escapeAt(name, at))) {
            mapped.append(QString::fromUcs4(&c, 1));
        } else {
            mapped.append(escapedNameCharacter(c));
        }
    });
    return mapped;
}

QString fromXmlName(QStringView name)
{
    QString heading;
    heading.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (const auto escape = escapeAt(name, i)) {
            heading.append(QString::fromUcs4(&escape->first, 1));
            i = escape->second;
            continue;
        }
        heading.append(name[i]);
    }
    return heading;
}

} // namespace tessaly
