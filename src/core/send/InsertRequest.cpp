#include "core/send/InsertRequest.h"

#include "core/document/DocumentEncoding.h"
#include "core/send/Transfer.h"

#include <cmath>

namespace tessaly {

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

QByteArray formEncode(const QByteArray &bytes)
{
    // toPercentEncoding keeps "-._~" and letters and digits; the form encoding keeps "*" instead
    // of "~" and writes a space as "+".
    QByteArray encoded = bytes.toPercentEncoding(QByteArrayLiteral(" *"), QByteArrayLiteral("~"));
    encoded.replace(' ', '+');
    return encoded;
}

InsertRequest buildInsertRequest(const Settings &settings, QStringView document)
{
    InsertRequest request;
    if (trimSpaces(settings.url).isEmpty()) {
        request.refusal = blankUrlStatusText();
        return request;
    }
    const std::optional<int> timeout = requestTimeoutSeconds(settings.timeout);
    if (!timeout) {
        request.refusal = QStringLiteral("タイムアウト「%1」が正しくないため、送信しませんでした。"
                                         "「設定」「ネットワーク」で0以上の秒数を入力して下さい。")
                              .arg(settings.timeout);
        return request;
    }
    // A form body of UTF-16 or UTF-32 cannot be read; such documents are sent in UTF-8, as browsers do.
    const QString fieldCharset = DocumentCharset(settings.charset).isAsciiCompatible() ? settings.charset : QStringLiteral("UTF-8");
    const EncodeResult xmlText = encodeDocument(document, fieldCharset);
    if (!xmlText.ok) {
        request.refusal = xmlText.errorString;
        return request;
    }
    const QString table = trimSpaces(settings.table);
    const EncodeResult tabName = encodeText(table, fieldCharset);
    if (!tabName.ok) {
        request.refusal = QStringLiteral("表名「%1」には文字コード%2で表せない文字があるため、送信しませんでした。")
                              .arg(table, fieldCharset);
        return request;
    }

    if (settings.protocol == u"icDefault")
        request.protocol = kProtocolDefault;
    else if (settings.protocol == u"icHTTP")
        request.protocol = kProtocolHttp;
    else if (settings.protocol == u"icHTTPS")
        request.protocol = kProtocolHttps;
    request.proxy = trimSpaces(settings.proxy);
    request.accessType = request.proxy.isEmpty() ? kAccessDirect : kAccessNamedProxy;
    request.userName = trimSpaces(settings.user);
    request.password = trimSpaces(settings.password);
    request.requestTimeout = *timeout;
    request.url = settings.url;
    request.body = "command=insert&tabName=" + formEncode(tabName.bytes) + "&xmlText=" + formEncode(xmlText.bytes);
    request.headers = QStringLiteral("Content-Type: application/x-www-form-urlencoded; charset=") + fieldCharset;
    return request;
}

QString sendInsert(Transfer &transfer, const Settings &settings, QStringView document)
{
    if (transfer.stillExecuting())
        return busyStatusText();
    const InsertRequest request = buildInsertRequest(settings, document);
    if (!request.refusal.isEmpty())
        return request.refusal;
    if (request.protocol)
        transfer.setProtocol(*request.protocol);
    transfer.setAccessType(request.accessType);
    transfer.setProxy(request.proxy);
    transfer.setUserName(request.userName);
    transfer.setPassword(request.password);
    transfer.setRequestTimeout(request.requestTimeout);
    transfer.setAnswerCharset(settings.charset);
    transfer.execute(request.url, QStringLiteral("POST"), request.body, request.headers);
    return sentStatusText();
}

} // namespace tessaly
