#pragma once

#include "core/Result.h"
#include "core/settings/Settings.h"

#include <QByteArray>
#include <QString>

#include <pugixml.hpp>

namespace tessaly {

inline const QString kConfigFileName = QStringLiteral("XMLConfig.xml");

// The configuration document held for the life of the main window. It is read from the file once;
// every save updates this same tree in place, so unknown elements, attributes and comments survive.
class ConfigDocument {
public:
    // Loads the file. A missing, unreadable or ill-formed file leaves the document empty: not usable.
    void load(const QString &path);

    // Usable means the document element is XMLConfig.
    bool isUsable() const;

    // Copies the text of every leaf found into `settings`; settings without a leaf keep their value.
    void readInto(Settings &settings) const;

    // Writes every setting into the tree (adding missing sections and leaves) and replaces the file
    // atomically. On failure the file on disk is left as it was.
    Outcome save(const Settings &settings, const QString &path);

    // The bytes that `save` writes for the current tree: UTF-8, CR LF line breaks.
    QByteArray serialize() const;

    // The nineteen-line document a save starts from when no usable document was loaded.
    static QByteArray defaultText();

private:
    void update(const Settings &settings);

    pugi::xml_document m_doc;
};

} // namespace tessaly
