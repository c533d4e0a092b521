#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <array>
#include <memory>

namespace tessaly {

// A character set as documents are written in it. A character becomes bytes only where every
// common decoder of the set's name reads those bytes back as that character (for Shift_JIS both
// the JIS X 0208 table and Windows-31J; for EUC-JP no vendor rows); any other character becomes a
// numeric reference (&#N;) in text and _xHHHH_ in a tag name, so a document is always written and
// reads back exactly.
class DocumentCharset {
public:
    explicit DocumentCharset(const QString &name);
    ~DocumentCharset();
    DocumentCharset(DocumentCharset &&) noexcept;
    DocumentCharset &operator=(DocumentCharset &&) noexcept;

    bool isValid() const;
    const QString &name() const { return m_name; }
    // False for UTF-16 and UTF-32, which a form body cannot carry.
    bool isAsciiCompatible() const;
    // True when the character is written as bytes rather than as a reference.
    bool canWrite(char32_t codePoint) const;

    // Appends the bytes of a composed document (or a piece of one ending at a line end).
    void appendDocument(QStringView document, QByteArray &out) const;
    // Appends cell text as element content: markup characters escaped, CR as &#13; (a parser
    // would turn a raw one into LF), characters that XML 1.0 cannot hold dropped.
    void appendEscapedText(QStringView text, QByteArray &out) const;
    // The ASCII characters that element content holds as their own byte: no markup character,
    // no control character but tab and line feed, none the set writes as a reference.
    std::array<bool, 128> plainAsciiInText() const;
    // The byte order mark that starts a file in this set: only UTF-16 and UTF-32 without an
    // explicit byte order have one.
    QByteArray byteOrderMark() const;
    // A tag name with every character that cannot be written as _xHHHH_.
    QString writableName(QStringView name) const;

    // "文字コード「X」には対応していません。…"
    QString unknownText() const;

private:
    struct Private;
    QString m_name;
    std::unique_ptr<Private> d;
};

// The bytes of an XML document in the named character set, as DocumentCharset writes them. Fails
// only for a character set this program does not know.
Result<QByteArray> encodeDocument(QStringView document, const QString &charset);

// The exact bytes of a plain text in the named character set; fails when the set is unknown or
// some character could not be read back exactly.
Result<QByteArray> encodeText(QStringView text, const QString &charset);

} // namespace tessaly
