#include "core/send/InsertRequest.h"

#include "core/document/DocumentEncoding.h"
#include "core/document/XmlDocument.h"

#include <QUuid>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace tessaly {

namespace {

// How much of the document is encoded at a time while the body is built.
constexpr qsizetype kPieceLength = 1 << 16;

// The document's bytes in the form's character set, handed over in pieces that each end at a line end.
using DocumentPieces = std::function<void(const std::function<void(QByteArrayView)> &take)>;
// Completes the request's body from the fields before the document (`head`).
using AttachDocument = std::function<void(TransferRequest &transfer, QByteArray head)>;

// The character set of the form fields: the document's, except that a form body of UTF-16 or
// UTF-32 cannot be read, so such documents are sent in UTF-8, as browsers do.
QString formCharset(const Settings &settings)
{
    return DocumentCharset(settings.charset).isAsciiCompatible() ? settings.charset : QStringLiteral("UTF-8");
}

// The form's Content-Type names no charset, as the servlets written for the program expect: the
// container decodes the fields by its own default (ISO-8859-1 in Tomcat), which the idiom
// new String(getParameter(name).getBytes("ISO-8859-1"), charset) undoes, and a servlet that calls
// setCharacterEncoding reads them as it asks. Named, the charset would be decoded first and leave
// the idiom nothing to recover. Only fields sent in UTF-8 for a UTF-16 or UTF-32 document, which
// no such servlet could read anyway, name it.
QByteArray formContentType(const Settings &settings)
{
    const QByteArray type = QByteArrayLiteral("application/x-www-form-urlencoded");
    return DocumentCharset(settings.charset).isAsciiCompatible() ? type : type + "; charset=UTF-8";
}

bool keptInForm(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' || c == '-' || c == '.'
           || c == '_';
}

// The form body of a document held in UTF-8, composed while it is sent: the fields before the
// document, then the document recoded into the form's character set and form-encoded, a piece at
// a time. A first pass works out where each piece of the body starts.
class Utf8DocumentFormBody final : public BodySource {
public:
    Utf8DocumentFormBody(QByteArray head, QByteArray utf8Document, const QString &charset)
        : m_head(std::move(head))
        , m_document(std::move(utf8Document))
        , m_charset(charset)
    {
        qint64 bodyOffset = m_head.size();
        for (qsizetype start = 0; start < m_document.size();) {
            const qsizetype end = documentPieceEnd(m_document, start, kPieceLength);
            m_pieces.push_back({start, end, bodyOffset});
            bodyOffset += encodedPiece(m_pieces.back()).size();
            start = end;
        }
        m_size = bodyOffset;
    }

    qint64 size() const override { return m_size; }

    qint64 read(qint64 offset, char *out, qint64 length) override
    {
        qint64 copied = 0;
        for (length = std::min(length, m_size - offset); copied < length;) {
            const qint64 at = offset + copied;
            QByteArrayView from = m_head;
            qint64 fromStart = 0;
            if (at >= m_head.size()) {
                const auto piece = std::prev(std::upper_bound(m_pieces.begin(), m_pieces.end(), at,
                                                              [](qint64 value, const Piece &p) { return value < p.bodyStart; }));
                if (m_cachedPiece != piece - m_pieces.begin()) {
                    m_cachedPiece = piece - m_pieces.begin();
                    m_cache = encodedPiece(*piece);
                }
                from = m_cache;
                fromStart = piece->bodyStart;
            }
            const qint64 count = std::min(length - copied, from.size() - (at - fromStart));
            std::memcpy(out + copied, from.data() + (at - fromStart), count);
            copied += count;
        }
        return copied;
    }

private:
    struct Piece {
        qsizetype documentStart;
        qsizetype documentEnd;
        qint64 bodyStart;
    };

    QByteArray encodedPiece(const Piece &piece) const
    {
        QByteArray recoded;
        m_charset.appendDocument(
            QString::fromUtf8(QByteArrayView(m_document).sliced(piece.documentStart, piece.documentEnd - piece.documentStart)),
            recoded);
        QByteArray encoded;
        appendFormEncoded(encoded, recoded);
        return encoded;
    }

    QByteArray m_head;
    QByteArray m_document;
    DocumentCharset m_charset;
    std::vector<Piece> m_pieces;
    qint64 m_size = 0;
    qsizetype m_cachedPiece = -1;
    QByteArray m_cache;
};

AttachDocument appendPieces(const DocumentPieces &documentPieces)
{
    return [documentPieces](TransferRequest &transfer, QByteArray body) {
        documentPieces([&](QByteArrayView piece) { appendFormEncoded(body, piece); });
        transfer.body = std::move(body);
    };
}

InsertRequest buildRequest(const Settings &settings, const QString &requestId, const AttachDocument &attachDocument)
{
    if (trimSpaces(settings.url).isEmpty())
        return Failure{blankUrlStatusText()};
    const Result<int> timeout = timeoutSeconds(settings.timeout);
    if (!timeout)
        return timeout.failure();
    const DocumentCharset documentCharset(settings.charset);
    if (!documentCharset.isValid())
        return Failure{documentCharset.unknownText()};
    const QString charset = formCharset(settings);
    const QString table = trimSpaces(restoreBlankName(settings.table, Settings{}.table));
    const Result<QByteArray> tabName = encodeText(table, charset);
    if (!tabName) {
        return Failure{
            QStringLiteral("表名「%1」には文字コード%2で表せない文字があるため、送信しませんでした。").arg(table, charset)};
    }

    QByteArray head = "command=insert&tabName=";
    appendFormEncoded(head, *tabName);
    if (!requestId.isEmpty()) {
        head += "&requestId=";
        appendFormEncoded(head, requestId.toLatin1());
    }
    head += "&xmlText=";

    TransferRequest transfer;
    transfer.protocol = protocolFromSetting(settings.protocol);
    transfer.url = settings.url;
    transfer.proxy = trimSpaces(settings.proxy);
    transfer.userName = trimSpaces(settings.user);
    transfer.password = trimSpaces(settings.password);
    transfer.timeoutSeconds = *timeout;
    transfer.overallLimitSeconds = overallLimitSeconds(*timeout);
    attachDocument(transfer, std::move(head));
    transfer.contentType = formContentType(settings);
    transfer.answerCharset = settings.charset;
    return transfer;
}

} // namespace

QString newRequestId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString sentStatusText()
{
    return QStringLiteral("データをサーバに送信しました。");
}

QString blankUrlStatusText()
{
    return QStringLiteral("「設定」「ネットワーク」をメニューから選択してサブレットのURLを入力して下さい。");
}

QString busyStatusText()
{
    return QStringLiteral("前の送信がまだ終わっていません。サーバの応答が表示されてから送信して下さい。");
}

void appendFormEncoded(QByteArray &out, QByteArrayView bytes)
{
    qsizetype length = 0;
    for (const char c : bytes)
        length += keptInForm(c) || c == ' ' ? 1 : 3;
    qsizetype at = out.size();
    out.resize(at + length);
    char *data = out.data();
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        if (keptInForm(c)) {
            data[at++] = c;
        } else if (c == ' ') {
            data[at++] = '+';
        } else {
            const auto byte = static_cast<unsigned char>(c);
            data[at++] = '%';
            data[at++] = kHex[byte >> 4];
            data[at++] = kHex[byte & 15];
        }
    }
}

InsertRequest buildInsertRequest(const Settings &settings, QStringView document, const QString &requestId)
{
    return buildRequest(settings, requestId, appendPieces([&](const std::function<void(QByteArrayView)> &take) {
                            const QString charset = formCharset(settings);
                            for (qsizetype start = 0; start < document.size();) {
                                const qsizetype lineEnd = document.indexOf(u'\n',
                                                                           std::min(start + kPieceLength, document.size()) - 1);
                                const qsizetype end = lineEnd < 0 ? document.size() : lineEnd + 1;
                                take(*encodeDocument(document.sliced(start, end - start), charset));
                                start = end;
                            }
                        }));
}

InsertRequest buildInsertRequest(const Settings &settings, const workbook::SheetTable &table, const QString &requestId)
{
    return buildRequest(settings, requestId, appendPieces([&](const std::function<void(QByteArrayView)> &take) {
                            composeDocumentInPieces(table, settings, DocumentCharset(formCharset(settings)), take, kPieceLength);
                        }));
}

InsertRequest buildUtf8InsertRequest(const Settings &settings, const QByteArray &utf8Document, const QString &requestId)
{
    return buildRequest(settings, requestId, [&](TransferRequest &transfer, QByteArray head) {
        transfer.bodySource = std::make_shared<Utf8DocumentFormBody>(std::move(head), utf8Document, formCharset(settings));
    });
}

Outcome sendInsert(Transfer &transfer, const InsertRequest &request)
{
    if (transfer.isRunning())
        return Failure{busyStatusText()};
    if (!request)
        return request.failure();
    transfer.start(*request);
    return {};
}

} // namespace tessaly
