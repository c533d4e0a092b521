#include "core/workbook/XmlReading.h"
#include "core/workbook/ReadFailures.h"

#include <expat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::workbook {
namespace {

constexpr char kNamespaceSeparator = '|';
constexpr qsizetype kChunk = 1 << 16;

const char *localPart(const char *name)
{
    const char *separator = std::strrchr(name, kNamespaceSeparator);
    return separator ? separator + 1 : name;
}

// What a parse does once the handler has stopped, shared by both readers so that they end alike:
// the first error wins, a stop without error ends the parse as successful.
struct StopState {
    QString error;

    void noteStop(const XmlHandler &handler)
    {
        if (error.isEmpty())
            error = handler.stopError();
    }
    bool succeeded(const XmlHandler &handler) const
    {
        return handler.stopped() && handler.stopError().isEmpty() && error.isEmpty();
    }
};

struct ExpatState {
    XML_Parser parser;
    XmlHandler *handler;
    StopState stop;
    std::vector<XmlAttribute> attributes;
};

void abortParse(ExpatState *state, const QString &error)
{
    if (state->stop.error.isEmpty())
        state->stop.error = error;
    XML_StopParser(state->parser, XML_FALSE);
}

// The fast reader. Bytes are classified once: markup and text outside this plain set take the slow
// branch of each loop.
enum ByteClass : unsigned char { kPlain, kSpecial, kInvalid, kMultiByte };

constexpr std::array<ByteClass, 256> textClasses()
{
    std::array<ByteClass, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        if (c >= 0x80)
            classes[c] = kMultiByte;
        else if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)
            classes[c] = kInvalid; // 0x7F is legal XML, but rare enough to leave to expat
        else if (c == '<' || c == '&' || c == '\r' || c == ']')
            classes[c] = kSpecial;
        else
            classes[c] = kPlain;
    }
    return classes;
}
constexpr std::array<ByteClass, 256> kTextClasses = textClasses();

constexpr std::array<ByteClass, 256> valueClasses()
{
    std::array<ByteClass, 256> classes = textClasses();
    for (const char c : {'\t', '\n', '\r', '"', '\'', ']'})
        classes[static_cast<unsigned char>(c)] = c == ']' ? kPlain : kSpecial;
    return classes;
}
constexpr std::array<ByteClass, 256> kValueClasses = valueClasses();

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// ASCII names only; others are left to expat. Bit 1: may start a name, bit 2: may continue one.
constexpr std::array<unsigned char, 256> nameClasses()
{
    std::array<unsigned char, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        classes[c] = (start ? 1 : 0) | (start || (c >= '0' && c <= '9') || c == '-' || c == '.' ? 2 : 0);
    }
    return classes;
}
constexpr std::array<unsigned char, 256> kNameClasses = nameClasses();

bool isNameStart(char c)
{
    return kNameClasses[static_cast<unsigned char>(c)] & 1;
}

bool isNameChar(char c)
{
    return kNameClasses[static_cast<unsigned char>(c)] & 2;
}

// The length of the UTF-8 sequence at p when it encodes a character XML allows, else 0.
int utf8Length(const unsigned char *p, const unsigned char *end)
{
    const auto continuation = [&](int i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
    const unsigned char c = p[0];
    if (c < 0xC2)
        return 0;
    if (c < 0xE0)
        return continuation(1) ? 2 : 0;
    if (c < 0xF0) {
        if (!continuation(1) || !continuation(2) || (c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F)
            || (c == 0xEF && p[1] == 0xBF && p[2] >= 0xBE))
            return 0;
        return 3;
    }
    if (c < 0xF5) {
        if (!continuation(1) || !continuation(2) || !continuation(3) || (c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F))
            return 0;
        return 4;
    }
    return 0;
}

// Moves the plain bytes at p down to out, where decoding has shortened the text so far.
template <const std::array<ByteClass, 256> &classes> void copyPlain(char *&p, const char *limit, char *&out)
{
    char *plain = p;
    while (plain < limit && classes[static_cast<unsigned char>(*plain)] == kPlain)
        ++plain;
    if (out != p)
        std::memmove(out, p, std::size_t(plain - p));
    out += plain - p;
    p = plain;
}

// The same for one UTF-8 character; false when it is not one that XML allows.
bool copyCharacter(char *&p, const char *limit, char *&out)
{
    const int length = utf8Length(reinterpret_cast<const unsigned char *>(p), reinterpret_cast<const unsigned char *>(limit));
    if (length == 0)
        return false;
    std::memmove(out, p, std::size_t(length));
    out += length;
    p += length;
    return true;
}

void appendUtf8(char *&out, char32_t c)
{
    if (c < 0x80) {
        *out++ = char(c);
    } else if (c < 0x800) {
        *out++ = char(0xC0 | (c >> 6));
        *out++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = char(0xE0 | (c >> 12));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    } else {
        *out++ = char(0xF0 | (c >> 18));
        *out++ = char(0x80 | ((c >> 12) & 0x3F));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    }
}

// Decodes the reference at *p ('&') into *out, never longer than the reference itself.
bool decodeReference(const char *&p, const char *end, char *&out)
{
    const char *semicolon = static_cast<const char *>(std::memchr(p, ';', std::size_t(std::min<std::ptrdiff_t>(end - p, 12))));
    if (!semicolon)
        return false;
    const std::string_view name(p + 1, std::size_t(semicolon - p - 1));
    if (name.size() >= 2 && name[0] == '#') {
        const bool hex = name[1] == 'x';
        char32_t value = 0;
        for (const char c : name.substr(hex ? 2 : 1)) {
            int digit = c >= '0' && c <= '9' ? c - '0' : -1;
            if (hex && digit < 0)
                digit = (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
            if (digit < 0)
                return false;
            value = value * (hex ? 16 : 10) + char32_t(digit);
            if (value > 0x10FFFF)
                return false;
        }
        const bool allowed = value == 0x9 || value == 0xA || value == 0xD || (value >= 0x20 && value <= 0xD7FF)
                             || (value >= 0xE000 && value <= 0xFFFD) || value >= 0x10000;
        if (name.size() == (hex ? 2u : 1u) || !allowed)
            return false;
        appendUtf8(out, value);
    } else if (name == "lt") {
        *out++ = '<';
    } else if (name == "gt") {
        *out++ = '>';
    } else if (name == "amp") {
        *out++ = '&';
    } else if (name == "quot") {
        *out++ = '"';
    } else if (name == "apos") {
        *out++ = '\'';
    } else {
        return false;
    }
    p = semicolon + 1;
    return true;
}

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";

class FastReader {
public:
    FastReader(XmlHandler &handler)
        : m_handler(handler)
    {
    }

    std::optional<Outcome> read(const XmlSource &source);

private:
    enum class Step { Continue, Stopped, Unsupported };

    Step readPiece(char *p, char *limit);
    bool readDeclaration(char *&p, char *limit);
    Step readText(char *&p, char *limit);
    Step readStartTag(char *&p, char *limit);
    // The attributes up to the tag's end; `empty` for an empty-element tag.
    bool readAttributes(char *&p, char *limit, bool &empty);
    bool bindDeclaredNamespaces();
    // The attributes as expat reports them, namespace declarations left out.
    bool collectReportedAttributes();
    Step readEndTag(char *&p, char *limit);
    bool readName(char *&p, char *limit, char *&colon);
    bool readValue(char *&p, char *limit, char *&valueEnd);
    // The namespace bound to a prefix, empty when none is.
    std::string_view namespaceOf(std::string_view prefix);
    void popBindings(std::size_t count);
    Step afterEvent();

    struct Attribute {
        char *name;
        char *nameEnd;
        char *colon;
        char *value;
        char *valueEnd;
    };
    struct Binding {
        std::string prefix;
        std::string uri;
    };
    struct Open {
        std::size_t nameOffset;
        std::size_t nameLength;
        std::size_t bindings;
    };

    XmlHandler &m_handler;
    StopState m_stop;
    bool m_started = false;
    bool m_rootSeen = false;
    std::string m_openNames;
    std::vector<Open> m_open;
    std::vector<Binding> m_bindings;
    std::vector<Attribute> m_attributes;
    std::vector<std::pair<std::string, std::string_view>> m_resolved; // prefixes looked up since the bindings changed
    std::vector<XmlAttribute> m_reported;
};

std::optional<Outcome> FastReader::read(const XmlSource &source)
{
    std::vector<char> buffer(std::size_t(4 * kChunk));
    std::size_t filled = 0;
    for (bool atEnd = false; !atEnd;) {
        if (buffer.size() - filled < std::size_t(kChunk))
            buffer.resize(buffer.size() * 2);
        const qsizetype count = source(buffer.data() + filled, qsizetype(buffer.size() - filled));
        if (count < 0)
            return std::nullopt; // expat tells which comes first, this or a fault in the XML
        atEnd = count == 0;
        filled += std::size_t(count);
        // Whole tags only: everything before the last '<' (a tag cannot hold one), all at the end.
        char *begin = buffer.data();
        char *limit = begin + filled;
        if (!atEnd) {
            const std::size_t lastTag = std::string_view(begin, filled).rfind('<');
            if (lastTag == std::string_view::npos || lastTag == 0)
                continue;
            limit = begin + lastTag;
        }
        const Step step = readPiece(begin, limit);
        if (step == Step::Unsupported)
            return std::nullopt;
        if (step == Step::Stopped)
            return m_stop.succeeded(m_handler) ? Outcome() : Failure{m_stop.error};
        filled = std::size_t(begin + filled - limit);
        std::memmove(begin, limit, filled);
    }
    if (!m_rootSeen || !m_open.empty())
        return std::nullopt;
    return Outcome();
}

FastReader::Step FastReader::readPiece(char *p, char *limit)
{
    if (!m_started) {
        m_started = true;
        if (!readDeclaration(p, limit))
            return Step::Unsupported;
    }
    while (p < limit) {
        if (*p != '<') {
            if (const Step step = readText(p, limit); step != Step::Continue)
                return step;
            continue;
        }
        ++p;
        const Step step = p < limit && *p == '/' ? readEndTag(++p, limit) : readStartTag(p, limit);
        if (step != Step::Continue)
            return step;
    }
    return Step::Continue;
}

// <?xml version="1.0" encoding="UTF-8" standalone="yes"?>, each pseudo-attribute but the version
// optional; any other declaration is left to expat.
bool FastReader::readDeclaration(char *&p, char *limit)
{
    const std::string_view rest(p, std::size_t(limit - p));
    if (!rest.starts_with("<?"))
        return true;
    if (!rest.starts_with("<?xml") || rest.size() < 6 || !isSpace(rest[5]))
        return false;
    std::size_t at = 5;
    const auto skipSpace = [&] {
        const std::size_t from = at;
        while (at < rest.size() && isSpace(rest[at]))
            ++at;
        return at > from;
    };
    bool first = true;
    for (const auto &[name, values] : {std::pair{std::string_view("version"), std::vector<std::string_view>{"1.0"}},
                                       {"encoding", {"utf-8"}},
                                       {"standalone", {"yes", "no"}}}) {
        const std::size_t before = at;
        if (!skipSpace() || !rest.substr(at).starts_with(name)) {
            if (first)
                return false;
            at = before;
            continue;
        }
        first = false;
        at += name.size();
        skipSpace();
        if (at >= rest.size() || rest[at++] != '=')
            return false;
        skipSpace();
        if (at >= rest.size() || (rest[at] != '"' && rest[at] != '\''))
            return false;
        const char quote = rest[at++];
        const std::size_t close = rest.find(quote, at);
        if (close == std::string_view::npos)
            return false;
        std::string value(rest.substr(at, close - at));
        if (name == "encoding") // the only case-blind one
            std::transform(value.begin(), value.end(), value.begin(),
                           [](char c) { return char(c | (c >= 'A' && c <= 'Z' ? 0x20 : 0)); });
        if (std::find(values.begin(), values.end(), value) == values.end())
            return false;
        at = close + 1;
    }
    skipSpace();
    if (!rest.substr(at).starts_with("?>"))
        return false;
    p += at + 2;
    return true;
}

FastReader::Step FastReader::readText(char *&p, char *limit)
{
    char *const start = p;
    char *out = p;
    if (m_open.empty()) { // outside the root element: white space only
        while (p < limit && isSpace(*p))
            ++p;
        return p == limit || *p == '<' ? Step::Continue : Step::Unsupported;
    }
    for (;;) {
        copyPlain<kTextClasses>(p, limit, out);
        if (p == limit || *p == '<')
            break;
        switch (kTextClasses[static_cast<unsigned char>(*p)]) {
        case kSpecial:
            if (*p == '&') {
                const char *at = p;
                if (!decodeReference(at, limit, out))
                    return Step::Unsupported;
                p = const_cast<char *>(at);
            } else if (*p == '\r') {
                *out++ = '\n';
                p += p + 1 < limit && p[1] == '\n' ? 2 : 1;
            } else { // ']'
                if (limit - p >= 3 && p[1] == ']' && p[2] == '>')
                    return Step::Unsupported;
                *out++ = *p++;
            }
            break;
        case kMultiByte:
            if (!copyCharacter(p, limit, out))
                return Step::Unsupported;
            break;
        default:
            return Step::Unsupported;
        }
    }
    if (m_handler.wantsText() && out > start)
        m_handler.characters(start, int(out - start));
    return Step::Continue;
}

// A name, at most once prefixed: colon points at its ':' or is nullptr.
bool FastReader::readName(char *&p, char *limit, char *&colon)
{
    colon = nullptr;
    if (p >= limit || !isNameStart(*p))
        return false;
    for (++p;; ++p) {
        while (p < limit && isNameChar(*p))
            ++p;
        if (p >= limit || *p != ':')
            return true;
        if (colon || p + 1 >= limit || !isNameStart(p[1]))
            return false;
        colon = p;
    }
}

// A quoted attribute value at p, decoded in place the way expat normalises it.
bool FastReader::readValue(char *&p, char *limit, char *&valueEnd)
{
    const char quote = *p++;
    char *out = p;
    for (;;) {
        copyPlain<kValueClasses>(p, limit, out);
        if (p == limit)
            return false;
        switch (kValueClasses[static_cast<unsigned char>(*p)]) {
        case kSpecial:
            if (*p == quote) {
                valueEnd = out;
                ++p;
                return true;
            }
            if (*p == '&') {
                const char *at = p;
                if (!decodeReference(at, limit, out))
                    return false;
                p = const_cast<char *>(at);
            } else if (*p == '"' || *p == '\'') {
                *out++ = *p++;
            } else if (*p == '<') {
                return false;
            } else { // white space becomes a space, a CR LF pair one space
                p += *p == '\r' && p + 1 < limit && p[1] == '\n' ? 2 : 1;
                *out++ = ' ';
            }
            break;
        case kMultiByte:
            if (!copyCharacter(p, limit, out))
                return false;
            break;
        default:
            return false;
        }
    }
}

std::string_view FastReader::namespaceOf(std::string_view prefix)
{
    for (const auto &[known, uri] : m_resolved) {
        if (known == prefix)
            return uri;
    }
    std::string_view uri;
    for (auto binding = m_bindings.rbegin(); binding != m_bindings.rend(); ++binding) {
        if (binding->prefix == prefix) {
            uri = binding->uri;
            break;
        }
    }
    m_resolved.emplace_back(std::string(prefix), uri);
    return uri;
}

void FastReader::popBindings(std::size_t count)
{
    if (m_bindings.size() != count) {
        m_bindings.resize(count);
        m_resolved.clear();
    }
}

FastReader::Step FastReader::afterEvent()
{
    if (!m_handler.stopped())
        return Step::Continue;
    m_stop.noteStop(m_handler);
    return Step::Stopped;
}

namespace {

std::string_view viewOf(const char *from, const char *to)
{
    return std::string_view(from, std::size_t(to - from));
}

bool isXmlns(const char *from, const char *to)
{
    return to - from == 5 && viewOf(from, to) == "xmlns";
}

} // namespace

FastReader::Step FastReader::readStartTag(char *&p, char *limit)
{
    if (m_rootSeen && m_open.empty())
        return Step::Unsupported; // a second root, a comment or a processing instruction
    char *name = p;
    char *colon = nullptr;
    if (!readName(p, limit, colon))
        return Step::Unsupported;
    char *const nameEnd = p;
    bool empty = false;
    if (!readAttributes(p, limit, empty))
        return Step::Unsupported;
    // Namespace declarations first: they apply to the element's own name and attributes.
    const std::size_t outerBindings = m_bindings.size();
    if (!bindDeclaredNamespaces())
        return Step::Unsupported;
    if (colon) {
        const std::string_view prefix = viewOf(name, colon);
        if (prefix == "xml" || prefix == "xmlns" || namespaceOf(prefix).empty())
            return Step::Unsupported;
    }
    if (!collectReportedAttributes())
        return Step::Unsupported;

    const std::size_t nameLength = std::size_t(nameEnd - name);
    const char *local = colon ? colon + 1 : name;
    if (!empty) {
        m_open.push_back({m_openNames.size(), nameLength, outerBindings});
        m_openNames.append(name, nameLength);
    }
    m_rootSeen = true;
    *nameEnd = '\0';
    m_handler.startElement(local, m_reported);
    if (!empty)
        return afterEvent();
    if (m_handler.stopped())
        m_stop.noteStop(m_handler);
    m_handler.endElement(local); // expat ends an empty element even after a stop
    popBindings(outerBindings); // only now: the reported namespaces point into them
    return m_handler.stopped() ? afterEvent() : Step::Continue;
}

bool FastReader::readAttributes(char *&p, char *limit, bool &empty)
{
    m_attributes.clear();
    for (;;) {
        const char *beforeSpace = p;
        while (p < limit && isSpace(*p))
            ++p;
        if (p >= limit)
            return false;
        if (*p == '>') {
            ++p;
            return true;
        }
        if (*p == '/') {
            if (p + 1 >= limit || p[1] != '>')
                return false;
            p += 2;
            empty = true;
            return true;
        }
        Attribute attribute{};
        attribute.name = p;
        if (p == beforeSpace || !readName(p, limit, attribute.colon))
            return false;
        attribute.nameEnd = p;
        while (p < limit && isSpace(*p))
            ++p;
        if (p >= limit || *p++ != '=')
            return false;
        while (p < limit && isSpace(*p))
            ++p;
        if (p >= limit || (*p != '"' && *p != '\''))
            return false;
        attribute.value = p + 1;
        if (!readValue(p, limit, attribute.valueEnd))
            return false;
        m_attributes.push_back(attribute);
    }
}

bool FastReader::bindDeclaredNamespaces()
{
    for (std::size_t i = 0; i < m_attributes.size(); ++i) {
        const Attribute &attribute = m_attributes[i];
        const std::string_view qualified = viewOf(attribute.name, attribute.nameEnd);
        for (std::size_t j = 0; j < i; ++j) {
            if (viewOf(m_attributes[j].name, m_attributes[j].nameEnd) == qualified)
                return false;
        }
        const bool isDefault = !attribute.colon && isXmlns(attribute.name, attribute.nameEnd);
        if (!isDefault && !(attribute.colon && isXmlns(attribute.name, attribute.colon)))
            continue;
        const std::string_view uri = viewOf(attribute.value, attribute.valueEnd);
        const std::string_view prefix = isDefault ? std::string_view() : viewOf(attribute.colon + 1, attribute.nameEnd);
        if (uri == kXmlNamespace || uri == kXmlnsNamespace || uri.find(kNamespaceSeparator) != std::string_view::npos
            || prefix == "xml" || prefix == "xmlns" || (!isDefault && uri.empty()))
            return false;
        m_bindings.push_back({std::string(prefix), std::string(uri)});
        m_resolved.clear();
    }
    return true;
}

bool FastReader::collectReportedAttributes()
{
    m_reported.clear();
    for (const Attribute &attribute : m_attributes) {
        XmlAttribute reported{{}, viewOf(attribute.name, attribute.nameEnd), attribute.value};
        if (attribute.colon) {
            const std::string_view prefix = viewOf(attribute.name, attribute.colon);
            if (prefix.size() == 5 && prefix == "xmlns")
                continue; // a declaration: expat does not report it
            reported.namespaceUri = prefix == "xml" ? kXmlNamespace : namespaceOf(prefix);
            if (reported.namespaceUri.empty())
                return false;
            reported.localName = viewOf(attribute.colon + 1, attribute.nameEnd);
            // Two prefixes for one namespace can still make the same name.
            for (const XmlAttribute &other : m_reported) {
                if (other.localName == reported.localName && !other.namespaceUri.empty()
                    && other.namespaceUri.size() == reported.namespaceUri.size()
                    && (other.namespaceUri.data() == reported.namespaceUri.data() || other.namespaceUri == reported.namespaceUri))
                    return false;
            }
        } else if (isXmlns(attribute.name, attribute.nameEnd)) {
            continue;
        }
        *attribute.valueEnd = '\0';
        m_reported.push_back(reported);
    }
    return true;
}

FastReader::Step FastReader::readEndTag(char *&p, char *limit)
{
    char *name = p;
    char *colon = nullptr;
    if (m_open.empty() || !readName(p, limit, colon))
        return Step::Unsupported;
    char *const nameEnd = p;
    while (p < limit && isSpace(*p))
        ++p;
    if (p >= limit || *p++ != '>')
        return Step::Unsupported;
    const Open &open = m_open.back();
    if (std::string_view(name, std::size_t(nameEnd - name))
        != std::string_view(m_openNames).substr(open.nameOffset, open.nameLength))
        return Step::Unsupported;
    popBindings(open.bindings);
    m_openNames.resize(open.nameOffset);
    m_open.pop_back();
    *nameEnd = '\0';
    m_handler.endElement(colon ? colon + 1 : name);
    return afterEvent();
}

} // namespace

void XmlHandler::stop(QString error)
{
    m_stopped = true;
    m_stopError = std::move(error);
}

std::optional<Outcome> readXmlFast(const XmlSource &source, XmlHandler &handler)
{
    return FastReader(handler).read(source);
}

Outcome readXmlWithExpat(const XmlSource &source, XmlHandler &handler, const QString &partName)
{
    XML_Parser parser = XML_ParserCreateNS(nullptr, kNamespaceSeparator);
    ExpatState state{parser, &handler, {}, {}};
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void *data, const XML_Char *name, const XML_Char **attributes) {
            auto *state = static_cast<ExpatState *>(data);
            state->attributes.clear();
            for (; *attributes; attributes += 2) {
                const char *local = localPart(*attributes);
                state->attributes.push_back(
                    {std::string_view(*attributes, std::size_t(std::max<std::ptrdiff_t>(local - *attributes - 1, 0))), local,
                     attributes[1]});
            }
            state->handler->startElement(localPart(name), state->attributes);
            if (state->handler->stopped())
                abortParse(state, state->handler->stopError());
        },
        [](void *data, const XML_Char *name) {
            auto *state = static_cast<ExpatState *>(data);
            state->handler->endElement(localPart(name));
            if (state->handler->stopped())
                abortParse(state, state->handler->stopError());
        });
    XML_SetCharacterDataHandler(parser, [](void *data, const XML_Char *text, int length) {
        auto *state = static_cast<ExpatState *>(data);
        if (state->handler->wantsText())
            state->handler->characters(text, length);
    });
    // Workbook parts never need a document type; refusing it rules out entity expansion altogether.
    XML_SetStartDoctypeDeclHandler(parser, [](void *data, const XML_Char *, const XML_Char *, const XML_Char *, int) {
        abortParse(static_cast<ExpatState *>(data), corruptFile(QStringLiteral("XML に文書型宣言（DOCTYPE）があります")).message);
    });
    XML_SetEntityDeclHandler(parser, [](void *data, const XML_Char *, int, const XML_Char *, int, const XML_Char *,
                                        const XML_Char *, const XML_Char *, const XML_Char *) {
        abortParse(static_cast<ExpatState *>(data), corruptFile(QStringLiteral("XML に実体宣言があります")).message);
    });

    bool ok = true;
    for (;;) {
        void *buffer = XML_GetBuffer(parser, int(kChunk));
        const qsizetype length = buffer ? source(static_cast<char *>(buffer), kChunk) : -1;
        if (length < 0) {
            state.stop.error = corruptFile(QStringLiteral("%1 を展開できません").arg(partName)).message;
            ok = false;
            break;
        }
        if (XML_ParseBuffer(parser, int(length), length == 0) != XML_STATUS_OK) {
            ok = state.stop.succeeded(handler);
            if (!ok && state.stop.error.isEmpty())
                state.stop.error = corruptFile(QStringLiteral("%1 の %2 行目: %3")
                                                   .arg(partName)
                                                   .arg(XML_GetCurrentLineNumber(parser))
                                                   .arg(QString::fromUtf8(XML_ErrorString(XML_GetErrorCode(parser)))))
                                       .message;
            break;
        }
        if (length == 0)
            break;
    }
    XML_ParserFree(parser);
    if (!ok)
        return Failure{state.stop.error};
    return {};
}

} // namespace tessaly::workbook
