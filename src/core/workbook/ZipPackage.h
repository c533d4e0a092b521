#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include "core/workbook/GObjectPtr.h"
#include "core/workbook/XmlReading.h"

#include <memory>

typedef struct _GsfInfile GsfInfile;
typedef struct _GsfInput GsfInput;

namespace tessaly::workbook {

// A ZIP package (OOXML or ODF) held in memory. Part names are found whatever their letter case and
// whether their folders are separated by slashes or backslashes.
class ZipPackage {
public:
    // Fails when the bytes are not a readable ZIP file.
    static Result<std::unique_ptr<ZipPackage>> open(QByteArray file);

    bool contains(const QString &partName) const;
    // Streams the part through expat (see readXmlWithExpat). Fails when the part is missing,
    // damaged or not well-formed, or the handler stopped with an error.
    Outcome parse(const QString &partName, XmlHandler &handler) const;
    // The same for a large part, through the fast reader where it can (see readXmlFast); newHandler
    // gives a fresh handler, a second time when expat has to read the part again from its start.
    Outcome parse(const QString &partName, const std::function<XmlHandler &()> &newHandler) const;

    // "a/b/../c.xml" → "a/c.xml"; a target starting with '/' counts from the package root.
    static QString resolve(const QString &baseFolder, const QString &target);

private:
    ZipPackage() = default;
    void listParts(GsfInfile *folder, const QString &prefix);
    GObjectPtr<GsfInput> openPart(const QString &partName) const;

    QByteArray m_file;
    GObjectPtr<GsfInput> m_input;
    GObjectPtr<GsfInfile> m_zip;
    QHash<QString, QString> m_parts; // normalised name → name inside the ZIP (folders joined by '/')
};

} // namespace tessaly::workbook
