#include "core/document/DocumentEncoding.h"

#include <QRegularExpression>
#include <QStringEncoder>

namespace tessaly {

namespace {

QString unknownCharset(const QString &charset)
{
    return QStringLiteral("文字コード「%1」には対応していません。XML の設定で文字コードを確かめて下さい。").arg(charset);
}

QStringEncoder makeEncoder(const QString &charset)
{
    return QStringEncoder(charset.toLatin1().constData());
}

// Encodes with a fresh encoder each time: an encoder's error flag stays set once raised.
std::optional<QByteArray> encodeExactly(QStringView text, const QString &charset)
{
    QStringEncoder encoder = makeEncoder(charset);
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

// The length of the code point starting at `index`: two for a surrogate pair, else one.
qsizetype codePointLength(QStringView text, qsizetype index)
{
    return text.at(index).isHighSurrogate() && index + 1 < text.size() && text.at(index + 1).isLowSurrogate() ? 2 : 1;
}

// Encodes one line that the character set cannot hold as a whole, a code point at a time.
EncodeResult encodeLineByCodePoint(QStringView line, const QString &charset, bool &inMarkup, QByteArray &out)
{
    for (qsizetype index = 0; index < line.size();) {
        const qsizetype length = codePointLength(line, index);
        const QStringView codePoint = line.mid(index, length);
        if (const std::optional<QByteArray> bytes = encodeExactly(codePoint, charset)) {
            out += *bytes;
        } else if (inMarkup) {
            return {false, {}, QStringLiteral("文字「%1」は文字コード「%2」で表せないため、タグ名に使えません。")
                                   .arg(codePoint.toString(), charset)};
        } else {
            const char32_t value = codePoint.size() == 2 ? QChar::surrogateToUcs4(codePoint[0], codePoint[1])
                                                         : codePoint[0].unicode();
            out += "&#" + QByteArray::number(quint32(value)) + ';';
        }
        if (codePoint == u"<")
            inMarkup = true;
        else if (codePoint == u">")
            inMarkup = false;
        index += length;
    }
    return {true, {}, {}};
}

void trackMarkup(QStringView line, bool &inMarkup)
{
    const qsizetype open = line.lastIndexOf(u'<');
    const qsizetype close = line.lastIndexOf(u'>');
    if (open >= 0 || close >= 0)
        inMarkup = open > close;
}

} // namespace

EncodeResult encodeText(QStringView text, const QString &charset)
{
    if (!makeEncoder(charset).isValid())
        return {false, {}, unknownCharset(charset)};
    if (std::optional<QByteArray> bytes = encodeExactly(text, charset))
        return {true, std::move(*bytes), {}};
    return {false, {}, QStringLiteral("「%1」には文字コード「%2」で表せない文字が含まれています。").arg(text.toString(), charset)};
}

EncodeResult encodeDocument(QStringView document, const QString &charset)
{
    if (!makeEncoder(charset).isValid())
        return {false, {}, unknownCharset(charset)};
    if (std::optional<QByteArray> bytes = encodeExactly(document, charset))
        return {true, std::move(*bytes), {}};

    // Some character cannot be held: encode line by line, and only the failing lines by code point.
    EncodeResult result{true, {}, {}};
    result.bytes.reserve(document.size() + document.size() / 4);
    bool inMarkup = false;
    for (qsizetype start = 0; start < document.size();) {
        const qsizetype newline = document.indexOf(u'\n', start);
        const qsizetype end = newline < 0 ? document.size() : newline + 1;
        const QStringView line = document.mid(start, end - start);
        if (std::optional<QByteArray> bytes = encodeExactly(line, charset)) {
            result.bytes += *bytes;
            trackMarkup(line, inMarkup);
        } else {
            const EncodeResult lineResult = encodeLineByCodePoint(line, charset, inMarkup, result.bytes);
            if (!lineResult.ok)
                return lineResult;
        }
        start = end;
    }
    return result;
}

QString contentTypeCharset(const QString &contentType)
{
    const qsizetype at = contentType.indexOf(u"charset=", 0, Qt::CaseInsensitive);
    if (at < 0)
        return {};
    QString name = contentType.mid(at + 8).section(u';', 0, 0).trimmed();
    name.remove(u'"');
    return name;
}

QString declaredEncoding(QByteArrayView document)
{
    static const QRegularExpression declaration(
        QStringLiteral(R"(^\s*<\?xml\s[^>]*?encoding\s*=\s*["']([A-Za-z0-9._:-]+)["'])"));
    return declaration.match(QString::fromLatin1(document.first(std::min<qsizetype>(document.size(), 200)))).captured(1);
}

} // namespace tessaly
