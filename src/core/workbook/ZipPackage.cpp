// libgsf's headers come first: GLib declares members named like Qt's keyword macros.
#include <gsf/gsf-infile-zip.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input.h>

#include "core/workbook/ZipPackage.h"
#include "core/workbook/ReadFailures.h"

#include "core/workbook/OleStorage.h"

#include <QStringList>

#include <cstring>

namespace tessaly::workbook {
namespace {

QString normalised(const QString &partName)
{
    QString name = partName.toLower();
    name.replace(u'\\', u'/');
    while (name.startsWith(u'/'))
        name.remove(0, 1);
    return name;
}

// Reads an inflated part for the XML readers.
XmlSource sourceOf(GsfInput *input)
{
    return [input](char *buffer, qsizetype capacity) -> qsizetype {
        const qsizetype length = qsizetype(std::min<gsf_off_t>(gsf_input_remaining(input), capacity));
        return length == 0 || gsf_input_read(input, std::size_t(length), reinterpret_cast<guint8 *>(buffer)) ? length : -1;
    };
}

} // namespace

Result<std::unique_ptr<ZipPackage>> ZipPackage::open(QByteArray file)
{
    initGsf();
    std::unique_ptr<ZipPackage> package(new ZipPackage);
    package->m_file = std::move(file);
    package->m_input.reset(
        gsf_input_memory_new(reinterpret_cast<const guint8 *>(package->m_file.constData()), package->m_file.size(), FALSE));
    GError *error = nullptr;
    package->m_zip.reset(gsf_infile_zip_new(package->m_input.get(), &error));
    if (!package->m_zip) {
        const QString reason = error ? QString::fromUtf8(error->message) : QString();
        if (error)
            g_error_free(error);
        return corruptFile(QStringLiteral("ZIP ファイルとして読めません: %1").arg(reason));
    }
    package->listParts(package->m_zip.get(), QString());
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
        const GObjectPtr<GsfInput> child(gsf_infile_child_by_index(folder, i));
        if (!child)
            continue;
        if (GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0)
            listParts(GSF_INFILE(child.get()), name + u'/');
        else
            m_parts.insert(normalised(name), name);
    }
}

bool ZipPackage::contains(const QString &partName) const
{
    return m_parts.contains(normalised(partName));
}

GObjectPtr<GsfInput> ZipPackage::openPart(const QString &partName) const
{
    const auto found = m_parts.constFind(normalised(partName));
    if (found == m_parts.cend())
        return nullptr;
    GObjectPtr<GsfInput> input(GSF_INPUT(g_object_ref(m_zip.get())));
    for (const QString &component : found->split(u'/')) {
        if (!GSF_IS_INFILE(input.get()))
            return nullptr;
        input.reset(gsf_infile_child_by_name(GSF_INFILE(input.get()), component.toUtf8().constData()));
        if (!input)
            return nullptr;
    }
    return input;
}

Outcome ZipPackage::parse(const QString &partName, XmlHandler &handler) const
{
    const GObjectPtr<GsfInput> input = openPart(partName);
    if (!input)
        return corruptFile(QStringLiteral("%1 がありません").arg(partName));
    return readXmlWithExpat(sourceOf(input.get()), handler, partName);
}

Outcome ZipPackage::parse(const QString &partName, const std::function<XmlHandler &()> &newHandler) const
{
    const GObjectPtr<GsfInput> input = openPart(partName);
    if (!input)
        return parse(partName, newHandler());
    std::optional<Outcome> read = readXmlFast(sourceOf(input.get()), newHandler());
    return read ? std::move(*read) : parse(partName, newHandler());
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

} // namespace tessaly::workbook
