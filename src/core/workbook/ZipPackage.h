#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include "core/workbook/XmlReading.h"

#include <memory>

typedef struct _GsfInfile GsfInfile;
typedef struct _GsfInput GsfInput;

namespace tessaly::xls {

// A ZIP package (OOXML or ODF) held in memory. Part names are found whatever their letter case and
// whether their folders are separated by slashes or backslashes.
class ZipPackage {
public:
    ~ZipPackage();
    // nullptr and a Japanese *errorString when the bytes are not a readable ZIP file.
    static std::unique_ptr<ZipPackage> open(QByteArray file, QString *errorString);

    bool contains(const QString &partName) const;
    // Streams the part through expat (see readXmlWithExpat). False and a Japanese *errorString when
    // the part is missing, damaged or not well-formed, or the handler stopped with an error.
    bool parse(const QString &partName, XmlHandler &handler, QString *errorString) const;
    // The same for a large part, through the fast reader where it can (see readXmlFast); newHandler
    // gives a fresh handler, a second time when expat has to read the part again from its start.
    bool parse(const QString &partName, const std::function<XmlHandler &()> &newHandler, QString *errorString) const;

    // "a/b/../c.xml" → "a/c.xml"; a target starting with '/' counts from the package root.
    static QString resolve(const QString &baseFolder, const QString &target);

private:
    ZipPackage() = default;
    void listParts(GsfInfile *folder, const QString &prefix);
    GsfInput *openPart(const QString &partName) const;

    QByteArray m_file;
    GsfInput *m_input = nullptr;
    GsfInfile *m_zip = nullptr;
    QHash<QString, QString> m_parts; // normalised name → name inside the ZIP (folders joined by '/')
};

} // namespace tessaly::xls
