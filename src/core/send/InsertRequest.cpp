#include "core/send/InsertRequest.h"

#include "core/document/DocumentEncoding.h"
#include "core/document/XmlDocument.h"

#include <cmath>
#include <functional>

namespace tessaly {

namespace {

// How much of the document is encoded at a time while the body is built.
constexpr qsizetype kPieceLength = 1 << 16;

// The document's bytes in the form's character set, handed over in pieces that each end at a line end.
using DocumentPieces = std::function<void(const std::function<void(QByteArrayView)> &take)>;

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
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' || c == '-'
           || c == '.' || c == '_';
}

InsertRequest buildRequest(const Settings &settings, const DocumentPieces &documentPieces)
{
    InsertRequest request;
    if (trimSpaces(settings.url).isEmpty()) {
        request.refusal = blankUrlStatusText();
        return request;
    }
    const std::optional<int> timeout = requestTimeoutSeconds(settings.timeout);
    if (!timeout) {
        request.refusal = invalidTimeoutText();
        return request;
    }
    const DocumentCharset documentCharset(settings.charset);
    if (!documentCharset.isValid()) {
        request.refusal = documentCharset.unknownText();
        return request;
    }
    const QString charset = formCharset(settings);
    const QString table = trimSpaces(restoreBlankName(settings.table, Settings{}.table));
    const EncodeResult tabName = encodeText(table, charset);
    if (!tabName.ok) {
        request.refusal = QStringLiteral("表名「%1」には文字コード%2で表せない文字があるため、送信しませんでした。")
                              .arg(table, charset);
        return request;
    }

    QByteArray body = "command=insert&tabName=";
    appendFormEncoded(body, tabName.bytes);
    body += "&xmlText=";
    documentPieces([&](QByteArrayView piece) { appendFormEncoded(body, piece); });

    TransferRequest &transfer = request.transfer;
    if (settings.protocol == u"icDefault")
        transfer.protocol = TransferProtocol::Default;
    else if (settings.protocol == u"icHTTP")
        transfer.protocol = TransferProtocol::Http;
    else if (settings.protocol == u"icHTTPS")
        transfer.protocol = TransferProtocol::Https;
    transfer.url = settings.url;
    transfer.proxy = trimSpaces(settings.proxy);
    transfer.userName = trimSpaces(settings.user);
    transfer.password = trimSpaces(settings.password);
    transfer.timeoutSeconds = *timeout;
    transfer.overallLimitSeconds = overallLimitSeconds(*timeout);
    transfer.body = std::move(body);
    transfer.contentType = formContentType(settings);
    transfer.answerCharset = settings.charset;
    return request;
}

} // namespace

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

QString invalidTimeoutText()
{
    return QStringLiteral("タイムアウトには1から999までの秒数を指定して下さい。");
}

std::optional<int> requestTimeoutSeconds(const QString &text)
{
    bool ok = false;
    const float seconds = text.toFloat(&ok);
    if (!ok || !std::isfinite(seconds))
        return std::nullopt;
    // nearbyint rounds in the default mode, to nearest with ties to even: 2.5 gives 2, 3.5 gives 4.
    const float rounded = std::nearbyint(seconds);
    if (rounded < 0.0f || rounded >= 2147483648.0f)
        return std::nullopt;
    return static_cast<int>(rounded);
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

InsertRequest buildInsertRequest(const Settings &settings, QStringView document)
{
    return buildRequest(settings, [&](const std::function<void(QByteArrayView)> &take) {
        const QString charset = formCharset(settings);
        for (qsizetype start = 0; start < document.size();) {
            const qsizetype lineEnd = document.indexOf(u'\n', std::min(start + kPieceLength, document.size()) - 1);
            const qsizetype end = lineEnd < 0 ? document.size() : lineEnd + 1;
            take(encodeDocument(document.sliced(start, end - start), charset).bytes);
            start = end;
        }
    });
}

InsertRequest buildInsertRequest(const Settings &settings, const xls::SheetTable &table)
{
    return buildRequest(settings, [&](const std::function<void(QByteArrayView)> &take) {
        composeDocumentInPieces(table, settings, DocumentCharset(formCharset(settings)), take, kPieceLength);
    });
}

QString sendInsert(Transfer &transfer, const InsertRequest &request)
{
    if (transfer.isRunning())
        return busyStatusText();
    if (!request.refusal.isEmpty())
        return request.refusal;
    transfer.start(request.transfer);
    return sentStatusText();
}

QString sendInsert(Transfer &transfer, const Settings &settings, QStringView document)
{
    if (transfer.isRunning())
        return busyStatusText();
    return sendInsert(transfer, buildInsertRequest(settings, document));
}

} // namespace tessaly
