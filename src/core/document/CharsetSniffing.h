#pragma once

#include <QByteArrayView>
#include <QString>

namespace tessaly {

// Where a document's bytes say which character set they are in, before any of them is decoded.

// The charset parameter of a Content-Type header value, without quotes; empty when it names none.
QString contentTypeCharset(const QString &contentType);

// The encoding that an XML declaration at the start of the bytes names; empty when there is none.
QString declaredEncoding(QByteArrayView document);

} // namespace tessaly
