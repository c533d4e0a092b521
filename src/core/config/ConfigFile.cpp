#include "core/config/ConfigFile.h"

#include "core/document/CharsetSniffing.h"
#include "core/files/AtomicFile.h"

#include <QFile>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <sstream>

namespace tessaly {

namespace {

constexpr const char *kRootName = "XMLConfig";

// Reads the file's bytes into text as an XML parser would: a byte-order mark wins, then the
// encoding named in the declaration, then UTF-8. Returns false when the bytes cannot be decoded.
bool decodeXmlBytes(const QByteArray &bytes, QString &text)
{
    std::optional<QStringConverter::Encoding> encoding = QStringConverter::encodingForData(bytes);
    QStringDecoder decoder;
    if (encoding) {
        decoder = QStringDecoder(*encoding);
    } else {
        const QString declared = declaredEncoding(bytes);
        decoder = declared.isEmpty() ? QStringDecoder(QStringConverter::Utf8) : QStringDecoder(declared.toLatin1().constData());
    }
    if (!decoder.isValid())
        return false;
    text = decoder.decode(bytes);
    return !decoder.hasError();
}

// pugixml accepts some documents that are not well-formed (a bare '&', an undefined entity, a
// second root element, a repeated attribute, a control character) and would write them back as
// they are, so a conforming parser checks the text first.
bool isWellFormed(const QString &text)
{
    QXmlStreamReader reader(text);
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

// The element text as one string: every character-data descendant in document order.
void appendTextContent(const pugi::xml_node &node, std::string &text)
{
    for (pugi::xml_node child : node.children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += child.value();
        else if (child.type() == pugi::node_element)
            appendTextContent(child, text);
    }
}

QString textContent(const pugi::xml_node &node)
{
    std::string text;
    appendTextContent(node, text);
    return QString::fromStdString(text);
}

pugi::xml_node rootOf(const pugi::xml_document &doc)
{
    return doc.child(kRootName);
}

// The first node in document order matching XMLConfig/section, or XMLConfig/section/leaf.
pugi::xml_node firstMatch(const pugi::xml_document &doc, const char *section, const char *leaf = nullptr)
{
    for (pugi::xml_node sectionNode : rootOf(doc).children(section)) {
        if (!leaf)
            return sectionNode;
        if (pugi::xml_node leafNode = sectionNode.child(leaf))
            return leafNode;
    }
    return {};
}

void setText(pugi::xml_node element, const QString &text)
{
    while (pugi::xml_node child = element.first_child())
        element.remove_child(child);
    const std::string utf8 = text.toStdString();
    if (!utf8.empty())
        element.append_child(pugi::node_pcdata).set_value(utf8.c_str());
}

QByteArray toCrLf(const std::string &text)
{
    QByteArray out;
    out.reserve(qsizetype(text.size() + text.size() / 16));
    for (char c : text) {
        if (c == '\n')
            out.append('\r');
        out.append(c);
    }
    return out;
}

} // namespace

void ConfigDocument::load(const QString &path)
{
    m_doc.reset();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QString text;
    if (!decodeXmlBytes(file.readAll(), text) || !isWellFormed(text))
        return;
    const QByteArray utf8 = text.toUtf8();
    constexpr unsigned options = pugi::parse_default | pugi::parse_declaration | pugi::parse_comments | pugi::parse_pi
                                 | pugi::parse_doctype;
    if (!m_doc.load_buffer(utf8.constData(), size_t(utf8.size()), options, pugi::encoding_utf8))
        m_doc.reset();
}

bool ConfigDocument::isUsable() const
{
    return bool(rootOf(m_doc));
}

void ConfigDocument::readInto(Settings &settings) const
{
    for (const SettingField &field : kSettingFields) {
        if (pugi::xml_node leaf = firstMatch(m_doc, field.section, field.leaf))
            settings.*field.member = textContent(leaf);
    }
}

void ConfigDocument::update(const Settings &settings)
{
    if (!isUsable()) {
        // Whitespace is kept here so that the file gets the default document's layout.
        const QByteArray text = defaultText();
        m_doc.load_buffer(text.constData(), size_t(text.size()),
                          pugi::parse_default | pugi::parse_declaration | pugi::parse_ws_pcdata, pugi::encoding_utf8);
    }
    const char *currentSection = nullptr;
    for (const SettingField &field : kSettingFields) {
        if (!currentSection || qstrcmp(currentSection, field.section) != 0) {
            currentSection = field.section;
            if (!firstMatch(m_doc, field.section))
                rootOf(m_doc).append_child(field.section);
        }
        pugi::xml_node leaf = firstMatch(m_doc, field.section, field.leaf);
        if (!leaf)
            leaf = firstMatch(m_doc, field.section).append_child(field.leaf);
        setText(leaf, settings.*field.member);
    }
}

QByteArray ConfigDocument::serialize() const
{
    // The declaration is always written as plain UTF-8 with no encoding attribute, whatever the
    // loaded file declared: the bytes written are UTF-8.
    std::ostringstream out;
    out << "<?xml version=\"1.0\"?>";
    constexpr unsigned format = pugi::format_raw | pugi::format_no_declaration | pugi::format_no_empty_element_tags;
    for (pugi::xml_node node : m_doc.children()) {
        if (node.type() == pugi::node_declaration)
            continue;
        out << '\n';
        node.print(out, "", format, pugi::encoding_utf8);
    }
    return toCrLf(out.str());
}

Outcome ConfigDocument::save(const Settings &settings, const QString &path)
{
    update(settings);
    // The file holds the password in clear text: a new file is readable by its owner only.
    const Outcome written = writeFileAtomically(path, serialize(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!written)
        return Failure{QStringLiteral("設定ファイル %1 を保存できませんでした。\n%2").arg(path, written.failure().message)};
    return {};
}

QByteArray ConfigDocument::defaultText()
{
    // Each section and leaf on its own line, indented by two spaces a level, with CRLF line ends.
    const Settings defaults;
    QString text = QStringLiteral("<?xml version=\"1.0\"?>\r\n<XMLConfig>\r\n");
    for (auto field = kSettingFields.begin(); field != kSettingFields.end(); ++field) {
        const QString section = QString::fromLatin1(field->section);
        const QString leaf = QString::fromLatin1(field->leaf);
        if (field == kSettingFields.begin() || qstrcmp(field[-1].section, field->section) != 0)
            text += QStringLiteral("  <%1>\r\n").arg(section);
        text += QStringLiteral("    <%1>%2</%1>\r\n").arg(leaf, (defaults.*field->member).toHtmlEscaped());
        if (field + 1 == kSettingFields.end() || qstrcmp(field[1].section, field->section) != 0)
            text += QStringLiteral("  </%1>\r\n").arg(section);
    }
    return (text + QStringLiteral("</XMLConfig>")).toUtf8();
}

} // namespace tessaly
