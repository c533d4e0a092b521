// libgsf's headers come first: GLib declares members named like Qt's keyword macros.
#include <gsf/gsf-infile-zip.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input.h>

#include "core/workbook/ZipPackage.h"

#include "core/workbook/OleStorage.h"

#include <QStringList>

#include <expat.h>

#include <cstring>

namespace tessaly::xls {
namespace {

constexpr char kNamespaceSeparator = '|';
constexpr gsf_off_t kChunk = 1 << 16;

const char *localPart(const char *name)
{
    const char *separator = std::strrchr(name, kNamespaceSeparator);
    return separator ? separator + 1 : name;
}

QString normalised(const QString &partName)
{
    QString name = partName.toLower();
    name.replace(u'\\', u'/');
    while (name.startsWith(u'/'))
        name.remove(0, 1);
    return name;
}

QString corrupt(const QString &detail)
{
    return QStringLiteral("ファイルが壊れています（%1）").arg(detail);
}

struct ParseState {
    XML_Parser parser;
    XmlHandler *handler;
    QString error;
};

void abortParse(ParseState *state, const QString &error)
{
    if (state->error.isEmpty())
        state->error = error;
    XML_StopParser(state->parser, XML_FALSE);
}

} // namespace

void XmlHandler::stop(QString error)
{
    stopped_ = true;
    stopError_ = std::move(error);
}

const char *attribute(const char **attributes, const char *localName, const char *namespaceSuffix)
{
    for (; *attributes; attributes += 2) {
        const char *name = *attributes;
        const char *local = localPart(name);
        if (std::strcmp(local, localName) != 0)
            continue;
        if (!namespaceSuffix)
            return attributes[1];
        const std::size_t uriLength = std::size_t(local - name) - (local != name ? 1 : 0);
        const std::size_t suffixLength = std::strlen(namespaceSuffix);
        if (uriLength >= suffixLength && std::memcmp(name + uriLength - suffixLength, namespaceSuffix, suffixLength) == 0)
            return attributes[1];
    }
    return nullptr;
}

ZipPackage::~ZipPackage()
{
    if (zip_)
        g_object_unref(zip_);
    if (input_)
        g_object_unref(input_);
}

std::unique_ptr<ZipPackage> ZipPackage::open(QByteArray file, QString *errorString)
{
    initGsf();
    std::unique_ptr<ZipPackage> package(new ZipPackage);
    package->file_ = std::move(file);
    package->input_ = gsf_input_memory_new(reinterpret_cast<const guint8 *>(package->file_.constData()),
                                           package->file_.size(), FALSE);
    GError *error = nullptr;
    package->zip_ = gsf_infile_zip_new(package->input_, &error);
    if (!package->zip_) {
        const QString reason = error ? QString::fromUtf8(error->message) : QString();
        if (error)
            g_error_free(error);
        *errorString = corrupt(QStringLiteral("ZIP ファイルとして読めません: %1").arg(reason));
        return nullptr;
    }
    package->listParts(package->zip_, QString());
    return package;
}

void ZipPackage::listParts(GsfInfile *folder, const QString &prefix)
{
    const int children = gsf_infile_num_children(folder);
    for (int i = 0; i < children; ++i) {
        const char *childName = gsf_infile_name_by_index(folder, i);
        if (!childName)
            continue;
        const QString name = prefix + QString::fromUtf8(childName);
        GsfInput *child = gsf_infile_child_by_index(folder, i);
        if (!child)
            continue;
        if (GSF_IS_INFILE(child) && gsf_infile_num_children(GSF_INFILE(child)) >= 0)
            listParts(GSF_INFILE(child), name + u'/');
        else
            parts_.insert(normalised(name), name);
        g_object_unref(child);
    }
}

bool ZipPackage::contains(const QString &partName) const
{
    return parts_.contains(normalised(partName));
}

GsfInput *ZipPackage::openPart(const QString &partName) const
{
    const auto found = parts_.constFind(normalised(partName));
    if (found == parts_.cend())
        return nullptr;
    GsfInput *input = GSF_INPUT(g_object_ref(zip_));
    for (const QString &component : found->split(u'/')) {
        GsfInput *child = GSF_IS_INFILE(input)
            ? gsf_infile_child_by_name(GSF_INFILE(input), component.toUtf8().constData())
            : nullptr;
        g_object_unref(input);
        if (!child)
            return nullptr;
        input = child;
    }
    return input;
}

bool ZipPackage::parse(const QString &partName, XmlHandler &handler, QString *errorString) const
{
    GsfInput *input = openPart(partName);
    if (!input) {
        *errorString = corrupt(QStringLiteral("%1 がありません").arg(partName));
        return false;
    }
    XML_Parser parser = XML_ParserCreateNS(nullptr, kNamespaceSeparator);
    ParseState state{parser, &handler, {}};
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void *data, const XML_Char *name, const XML_Char **attributes) {
            auto *state = static_cast<ParseState *>(data);
            state->handler->startElement(localPart(name), attributes);
            if (state->handler->stopped())
                abortParse(state, state->handler->stopError());
        },
        [](void *data, const XML_Char *name) {
            auto *state = static_cast<ParseState *>(data);
            state->handler->endElement(localPart(name));
            if (state->handler->stopped())
                abortParse(state, state->handler->stopError());
        });
    XML_SetCharacterDataHandler(parser, [](void *data, const XML_Char *text, int length) {
        auto *state = static_cast<ParseState *>(data);
        if (state->handler->wantsText())
            state->handler->characters(text, length);
    });
    // Workbook parts never need a document type; refusing it rules out entity expansion altogether.
    XML_SetStartDoctypeDeclHandler(parser, [](void *data, const XML_Char *, const XML_Char *, const XML_Char *, int) {
        abortParse(static_cast<ParseState *>(data),
                   corrupt(QStringLiteral("XML に文書型宣言（DOCTYPE）があります")));
    });
    XML_SetEntityDeclHandler(parser, [](void *data, const XML_Char *, int, const XML_Char *, int, const XML_Char *,
                                        const XML_Char *, const XML_Char *, const XML_Char *) {
        abortParse(static_cast<ParseState *>(data), corrupt(QStringLiteral("XML に実体宣言があります")));
    });

    bool ok = true;
    for (;;) {
        const gsf_off_t remaining = gsf_input_remaining(input);
        const int length = int(std::min(remaining, kChunk));
        void *buffer = XML_GetBuffer(parser, std::max(length, 1));
        if (!buffer || (length > 0 && !gsf_input_read(input, std::size_t(length), static_cast<guint8 *>(buffer)))) {
            state.error = corrupt(QStringLiteral("%1 を展開できません").arg(partName));
            ok = false;
            break;
        }
        if (XML_ParseBuffer(parser, length, length == 0) != XML_STATUS_OK) {
            ok = handler.stopped() && handler.stopError().isEmpty() && state.error.isEmpty();
            if (!ok && state.error.isEmpty())
                state.error = corrupt(QStringLiteral("%1 の %2 行目: %3")
                                          .arg(partName)
                                          .arg(XML_GetCurrentLineNumber(parser))
                                          .arg(QString::fromUtf8(XML_ErrorString(XML_GetErrorCode(parser)))));
            break;
        }
        if (length == 0)
            break;
    }
    XML_ParserFree(parser);
    g_object_unref(input);
    if (!ok)
        *errorString = state.error;
    return ok;
}

QString ZipPackage::resolve(const QString &baseFolder, const QString &target)
{
    QString path = target;
    path.replace(u'\\', u'/');
    QStringList components;
    if (!path.startsWith(u'/'))
        components = baseFolder.split(u'/', Qt::SkipEmptyParts);
    for (const QString &component : path.split(u'/', Qt::SkipEmptyParts)) {
        if (component == u"..") {
            if (!components.isEmpty())
                components.removeLast();
        } else if (component != u".") {
            components.append(component);
        }
    }
    return components.join(u'/');
}

} // namespace tessaly::xls
