#pragma once

#include <QString>
#include <QStringView>

namespace tessaly {

// True when name is an XML 1.0 (fifth edition) Name that contains no ':'.
bool isXmlName(QStringView name);

// Returns name unchanged when it is already an XML name; otherwise every character that is not
// allowed where it stands is written as _xHHHH_ (its code point in upper-case hex, at least four digits).
QString toXmlName(QStringView name);

// A character that a name cannot hold, as it is written in a name: _xHHHH_.
QString escapedNameCharacter(char32_t c);

// The heading a name was made from: every _xHHHH_ (four to six hex digits naming a character
// other than U+0000 or a surrogate) becomes its character; the rest stays as it is.
QString fromXmlName(QStringView name);

} // namespace tessaly
