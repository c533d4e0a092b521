#pragma once

#include <QByteArray>
#include <QString>

namespace tessaly {

struct EncodeResult {
    bool ok = false;
    QByteArray bytes;
    QString errorString; // Japanese, for the "エラーメッセージ" box or the status line
};

// The bytes of an XML document in the named character set (Qt's converters: Shift_JIS, EUC-JP,
// ISO-2022-JP, UTF-8, ...). A character of text content that the set cannot hold is written as a
// numeric character reference (&#233;); one inside markup (a tag name) cannot be, and fails.
EncodeResult encodeDocument(QStringView document, const QString &charset);

// The exact bytes of a plain text in the named character set; fails when the set is unknown or
// cannot hold some character.
EncodeResult encodeText(QStringView text, const QString &charset);

// The charset parameter of a Content-Type header value, without quotes; empty when it names none.
QString contentTypeCharset(const QString &contentType);

// The encoding that an XML declaration at the start of the bytes names; empty when there is none.
QString declaredEncoding(QByteArrayView document);

} // namespace tessaly
