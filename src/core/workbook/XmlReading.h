#pragma once

#include "core/Result.h"

#include <QString>

#include <functional>
#include <optional>
#include <span>
#include <string_view>

namespace tessaly::workbook {

// An attribute of a start tag; the namespace is empty when the name has no prefix.
struct XmlAttribute {
    std::string_view namespaceUri;
    std::string_view localName;
    const char *value;
};
using XmlAttributes = std::span<const XmlAttribute>;

// Receives the events of a streamed XML part. Element names arrive without their prefix.
class XmlHandler {
public:
    virtual ~XmlHandler() = default;
    virtual void startElement(const char *name, XmlAttributes attributes) = 0;
    virtual void endElement(const char *name) = 0;
    // Text is delivered only while wantsText() holds, in pieces of any size.
    virtual void characters(const char *text, int length) { (void)text, (void)length; }
    bool wantsText() const { return m_wantsText; }
    // Ends the parse early, as successful (done) or with a Japanese error.
    void stop(QString error = {});
    bool stopped() const { return m_stopped; }
    const QString &stopError() const { return m_stopError; }

protected:
    bool m_wantsText = false;

private:
    bool m_stopped = false;
    QString m_stopError;
};

// Whether text is the literal expected: compared up to the first difference, which is cheaper than
// strcmp for the short names that handlers test each element against.
template <std::size_t N> bool is(const char *text, const char (&expected)[N])
{
    for (std::size_t i = 0; i < N; ++i) {
        if (text[i] != expected[i])
            return false;
    }
    return true;
}

// The value of the attribute with this local name (and, when given, a namespace ending in
// namespaceSuffix), or nullptr.
inline const char *attribute(XmlAttributes attributes, std::string_view localName, std::string_view namespaceSuffix = {})
{
    for (const XmlAttribute &attribute : attributes) {
        if (attribute.localName == localName && attribute.namespaceUri.ends_with(namespaceSuffix))
            return attribute.value;
    }
    return nullptr;
}

// Fills buffer with up to capacity bytes of the part: the count, 0 at its end, -1 when it cannot be read.
using XmlSource = std::function<qsizetype(char *buffer, qsizetype capacity)>;

// Reads the part with expat, which refuses document type declarations, so that no entity is ever
// expanded. Fails when the part is damaged or not well-formed, or the handler stopped with an
// error; partName names the part in those messages.
Outcome readXmlWithExpat(const XmlSource &source, XmlHandler &handler, const QString &partName);

// Reads the part several times faster than expat when it keeps to what spreadsheet programs write:
// UTF-8, elements, attributes, text, character and predefined entity references, namespaces, and
// nothing else (no comments, processing instructions or CDATA sections). The events and the result
// are then the ones expat gives. Anything else, well-formed or not, gives nullopt, possibly after
// some events: the part is then read again with expat and a fresh handler.
std::optional<Outcome> readXmlFast(const XmlSource &source, XmlHandler &handler);

} // namespace tessaly::workbook
