#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <QStringDecoder>

#include <optional>

namespace tessaly::receiver {

// The fields of an insert request. The document is UTF-8, ready for the XML parser.
struct InsertForm {
    QString command;
    QString tableName;
    QString requestId; // empty when the sender gave none
    QByteArray documentUtf8;
};

// Reads an application/x-www-form-urlencoded body piece by piece as it arrives: percent-decodes
// each field and decodes the document's bytes with the body's charset at once, so that the body
// itself is never held. Fields other than command, tabName, requestId and xmlText are skipped;
// each of those four may occur once.
class FormReader {
public:
    // `charset` is the one the Content-Type names; empty: the encoding that the document's XML
    // declaration names, UTF-8 when it names none. `expectedSize` reserves room.
    FormReader(const QString &charset, qsizetype expectedSize);

    void feed(const char *data, qsizetype size);
    // The fields; fails for a body that is no usable form.
    Result<InsertForm> finish();

private:
    enum class Field { None, Command, TableName, RequestId, Document, Other };

    void startValue();
    void append(const char *data, qsizetype size);
    void flushDocument();
    // The field's text, or why it cannot be read in the charset.
    Result<QString> decodeField(const QByteArray &bytes, const char *name, const QString &charset) const;

    QString m_charset;
    std::optional<QStringDecoder> m_decoder; // while the charset is known and the document streams
    QByteArray m_piece; // scratch for one piece of the body
    QByteArray m_name;
    QByteArray m_command;
    QByteArray m_tableName;
    QByteArray m_requestId;
    QByteArray m_documentBytes; // decoded from percent escapes, waiting for the charset decoder
    QByteArray m_document; // UTF-8
    Field m_field = Field::None;
    bool m_inName = true;
    int m_escapeDigits = -1; // hex digits of a %XX still to come; -1 outside an escape
    uchar m_escapeValue = 0;
    bool m_malformed = false;
    int m_documentFields = 0;
    QByteArrayList m_seenFields;
    QByteArray m_repeatedField; // the first field that occurred twice
};

} // namespace tessaly::receiver
