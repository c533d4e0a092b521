#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

typedef struct _GsfInfile GsfInfile;
typedef struct _GsfInput GsfInput;

namespace tessaly::xls {

// Receives the events of a streamed XML part. Names arrive without their prefix; attributes as
// "namespace|local" (or "local") and value pairs, ending with nullptr.
class XmlHandler {
public:
    virtual ~XmlHandler() = default;
    virtual void startElement(const char *name, const char **attributes) = 0;
    virtual void endElement(const char *name) = 0;
    // Text is delivered only while wantsText() holds.
    virtual void characters(const char *text, int length) { (void)text, (void)length; }
    bool wantsText() const { return wantsText_; }
    // Ends the parse early, as successful (done) or with a Japanese error.
    void stop(QString error = {});
    bool stopped() const { return stopped_; }
    const QString &stopError() const { return stopError_; }

protected:
    bool wantsText_ = false;

private:
    bool stopped_ = false;
    QString stopError_;
};

// The value of the attribute with this local name (and, when given, a namespace ending in
// namespaceSuffix), or nullptr.
const char *attribute(const char **attributes, const char *localName, const char *namespaceSuffix = nullptr);

// A ZIP package (OOXML or ODF) held in memory. Part names are found whatever their letter case and
// whether their folders are separated by slashes or backslashes.
class ZipPackage {
public:
    ~ZipPackage();
    // nullptr and a Japanese *errorString when the bytes are not a readable ZIP file.
    static std::unique_ptr<ZipPackage> open(QByteArray file, QString *errorString);

    bool contains(const QString &partName) const;
    // Streams the part through an XML parser that refuses document type declarations, so that no
    // entity is ever expanded. False and a Japanese *errorString when the part is missing, damaged
    // or not well-formed, or the handler stopped with an error.
    bool parse(const QString &partName, XmlHandler &handler, QString *errorString) const;

    // "a/b/../c.xml" → "a/c.xml"; a target starting with '/' counts from the package root.
    static QString resolve(const QString &baseFolder, const QString &target);

private:
    ZipPackage() = default;
    void listParts(GsfInfile *folder, const QString &prefix);
    GsfInput *openPart(const QString &partName) const;

    QByteArray file_;
    GsfInput *input_ = nullptr;
    GsfInfile *zip_ = nullptr;
    QHash<QString, QString> parts_; // normalised name → name inside the ZIP (folders joined by '/')
};

} // namespace tessaly::xls
