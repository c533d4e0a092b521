#include "receiver/FormReader.h"

#include "core/document/CharsetSniffing.h"

#include <array>

namespace tessaly::receiver {

namespace {

// Bytes of the document decoded by the charset decoder at a time.
constexpr qsizetype kDecodePiece = 256 * 1024;
// command and tabName are short; anything longer is cut, not stored without bound.
constexpr qsizetype kShortFieldLimit = 64 * 1024;

// The value of a hex digit, -1 for any other byte.
int hexValue(char c)
{
    static const std::array<qint8, 256> values = [] {
        std::array<qint8, 256> table;
        table.fill(-1);
        for (int digit = 0; digit < 10; ++digit)
            table['0' + digit] = qint8(digit);
        for (int digit = 0; digit < 6; ++digit)
            table['A' + digit] = table['a' + digit] = qint8(10 + digit);
        return table;
    }();
    return values[uchar(c)];
}

} // namespace

FormReader::FormReader(const QString &charset, qsizetype expectedSize)
    : m_charset(charset)
{
    if (!charset.isEmpty()) {
        m_decoder.emplace(charset.toLatin1().constData());
        if (m_decoder->isValid())
            m_document.reserve(expectedSize);
    }
}

void FormReader::feed(const char *data, qsizetype size)
{
    // Decodes into a scratch piece first and hands it on in runs: the body is mostly escapes.
    // The escape state lives in locals here, where writes through `out` cannot alias it.
    m_piece.resize(size);
    char *const start = m_piece.data();
    char *out = start;
    int escapeDigits = m_escapeDigits;
    int escapeValue = m_escapeValue;
    bool malformed = m_malformed;
    const auto handOn = [&] {
        append(start, out - start);
        out = start;
    };
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (escapeDigits > 0) {
            const int digit = hexValue(c);
            malformed = malformed || digit < 0;
            escapeValue = escapeValue * 16 + std::max(digit, 0);
            if (--escapeDigits == 0)
                *out++ = char(escapeValue);
            continue;
        }
        switch (c) {
        case '%':
            if (i + 2 < size) {
                // Both digits at hand, as they almost always are.
                const int high = hexValue(data[i + 1]);
                const int low = hexValue(data[i + 2]);
                malformed = malformed || high < 0 || low < 0;
                *out++ = char(high * 16 + low);
                i += 2;
            } else {
                escapeDigits = 2;
                escapeValue = 0;
            }
            break;
        case '+':
            *out++ = ' ';
            break;
        case '&':
            handOn();
            m_inName = true;
            m_name.clear();
            m_field = Field::None;
            break;
        case '=':
            if (m_inName) {
                handOn();
                startValue();
            } else {
                *out++ = c;
            }
            break;
        default:
            *out++ = c;
        }
    }
    handOn();
    m_escapeDigits = escapeDigits;
    m_escapeValue = uchar(escapeValue);
    m_malformed = malformed;
}

void FormReader::startValue()
{
    m_inName = false;
    // A second value would be appended to the first: "tabName=a&tabName=b" must not name "ab".
    const auto once = [&](Field field) {
        if (!m_seenFields.contains(m_name))
            m_seenFields.append(m_name);
        else if (m_repeatedField.isEmpty())
            m_repeatedField = m_name;
        m_field = field;
    };
    if (m_name == "command") {
        once(Field::Command);
    } else if (m_name == "tabName") {
        once(Field::TableName);
    } else if (m_name == "requestId") {
        once(Field::RequestId);
    } else if (m_name == "xmlText") {
        m_field = Field::Document;
        ++m_documentFields;
    } else {
        m_field = Field::Other;
    }
}

void FormReader::append(const char *data, qsizetype size)
{
    const auto appendShort = [&](QByteArray &field) { field.append(data, std::min(size, kShortFieldLimit - field.size())); };
    if (m_inName) {
        appendShort(m_name);
        return;
    }
    switch (m_field) {
    case Field::Command:
        appendShort(m_command);
        break;
    case Field::TableName:
        appendShort(m_tableName);
        break;
    case Field::RequestId:
        appendShort(m_requestId);
        break;
    case Field::Document:
        if (m_documentFields == 1) {
            m_documentBytes.append(data, size);
            if (m_decoder && m_decoder->isValid() && m_documentBytes.size() >= kDecodePiece)
                flushDocument();
        }
        break;
    case Field::None:
    case Field::Other:
        break;
    }
}

void FormReader::flushDocument()
{
    m_document += QString(m_decoder->decode(m_documentBytes)).toUtf8();
    m_documentBytes.clear();
}

Result<QString> FormReader::decodeField(const QByteArray &bytes, const char *name, const QString &charset) const
{
    QStringDecoder decoder(charset.toLatin1().constData());
    QString text = decoder.decode(bytes);
    if (!decoder.isValid() || decoder.hasError())
        return Failure{QStringLiteral("項目「%1」を文字コード「%2」で読めません。").arg(QLatin1String(name), charset)};
    return text;
}

Result<InsertForm> FormReader::finish()
{
    if (m_malformed || m_escapeDigits > 0)
        return Failure{QStringLiteral("本文の %XX が正しくありません。application/x-www-form-urlencoded の形で送って下さい。")};
    if (m_decoder && !m_decoder->isValid()) {
        return Failure{QStringLiteral("文字コード「%1」には対応していません。").arg(m_charset)};
    }
    if (!m_repeatedField.isEmpty())
        return Failure{QStringLiteral("項目「%1」が複数あります。").arg(QString::fromLatin1(m_repeatedField))};
    if (m_documentFields != 1) {
        return Failure{m_documentFields == 0 ? QStringLiteral("項目「xmlText」（XML 文書）がありません。")
                                             : QStringLiteral("項目「xmlText」が複数あります。")};
    }

    QString charset = m_charset;
    InsertForm form;
    if (m_decoder) {
        flushDocument();
        if (m_decoder->hasError())
            return Failure{QStringLiteral("XML 文書を文字コード「%1」で読めません。").arg(charset)};
        form.documentUtf8 = std::move(m_document);
    } else {
        // The document's declaration decides for every field: guessing from the bytes would take a
        // short Shift_JIS or EUC-JP text that happens to be valid UTF-8 for UTF-8.
        charset = declaredEncoding(m_documentBytes);
        if (charset.isEmpty())
            charset = QStringLiteral("UTF-8"); // XML's default
        const Result<QString> document = decodeField(m_documentBytes, "xmlText", charset);
        if (!document)
            return Failure{QStringLiteral("XML 文書の文字コードが分かりません。Content-Type に charset を付けて下さい。")};
        m_documentBytes.clear();
        form.documentUtf8 = document->toUtf8();
    }

    const Result<QString> command = decodeField(m_command, "command", charset);
    if (!command)
        return command.failure();
    const Result<QString> tableName = decodeField(m_tableName, "tabName", charset);
    if (!tableName)
        return tableName.failure();
    form.command = *command;
    form.tableName = *tableName;
    form.requestId = QString::fromLatin1(m_requestId);
    return form;
}

} // namespace tessaly::receiver
