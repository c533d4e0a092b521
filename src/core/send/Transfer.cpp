#include "core/send/Transfer.h"

#include "core/document/DocumentEncoding.h"

#include <QAuthenticator>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>

namespace tessaly {

namespace {

struct Failure {
    int code;
    QString info;
};

Failure describeFailure(QNetworkReply::NetworkError error, const QString &qtText)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return {Transfer::kCannotConnect, QStringLiteral("サーバに接続できませんでした（接続を拒否されました）。")};
    case QNetworkReply::HostNotFoundError:
        return {Transfer::kHostNotFound, QStringLiteral("サーバが見つかりませんでした（ホスト名を解決できません）。")};
    case QNetworkReply::RemoteHostClosedError:
        return {Transfer::kConnectionAborted, QStringLiteral("サーバが応答を返さずに接続を切りました。")};
    case QNetworkReply::SslHandshakeFailedError:
        return {Transfer::kSecureChannelFailed, QStringLiteral("サーバとの暗号化通信（SSL/TLS）を確立できませんでした。")};
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return {Transfer::kProxyFailed, QStringLiteral("プロキシサーバを経由して接続できませんでした。")};
    default:
        return {static_cast<int>(error), qtText};
    }
}

// Errors that Qt raises for an HTTP answer with an error status: the answer itself arrived.
// (Qt files 400 Bad Request among the protocol errors.)
bool isHttpAnswer(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::NoError || error == QNetworkReply::ProtocolInvalidOperationError
           || (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
           || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

std::optional<QNetworkProxy> proxyFor(int accessType, const QString &proxy)
{
    if (accessType == kAccessDirect)
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const QUrl url(proxy.contains(u"://") ? proxy : QStringLiteral("http://") + proxy);
    if (!url.isValid() || url.scheme() != u"http" || url.host().isEmpty())
        return std::nullopt;
    return QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), static_cast<quint16>(url.port(80)));
}

QUrl requestUrl(const QString &text, int protocol)
{
    const QString trimmed = text.trimmed();
    QUrl url(trimmed.contains(u"://") ? trimmed : QStringLiteral("http://") + trimmed);
    if (protocol == kProtocolHttps)
        url.setScheme(QStringLiteral("https"));
    return url;
}

} // namespace

Transfer::Transfer(QObject *parent)
    : QObject(parent)
{
    m_silence.setSingleShot(true);
    connect(&m_silence, &QTimer::timeout, this, &Transfer::silenceElapsed);
    connect(&m_manager, &QNetworkAccessManager::authenticationRequired, this, &Transfer::authenticationRequired);
}

Transfer::~Transfer()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

void Transfer::execute(const QString &url, const QString &operation, const QByteArray &inputData,
                       const QString &inputHeaders)
{
    Q_ASSERT(!m_executing);
    m_executing = true;
    m_credentialsOffered = false;
    m_timedOut = false;
    m_answerBytes.clear();
    m_answerCut = false;
    m_answer.clear();
    m_answerRead = 0;

    const QUrl target = requestUrl(url, m_protocol);
    if (!target.isValid() || target.host().isEmpty()) {
        failLater(kInvalidUrl, QStringLiteral("URL「%1」が正しくありません。").arg(url));
        return;
    }
    const std::optional<QNetworkProxy> proxy = proxyFor(m_accessType, m_proxy);
    if (!proxy) {
        failLater(kInvalidProxy, QStringLiteral("プロキシ「%1」が正しくありません。「ホスト名:ポート番号」の形で指定して下さい。")
                                     .arg(m_proxy));
        return;
    }
    // Credentials and connections of an earlier request must not be reused unasked.
    m_manager.clearAccessCache();
    m_manager.setProxy(*proxy);

    QNetworkRequest request(target);
    const QStringList lines = inputHeaders.split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0)
            request.setRawHeader(line.left(colon).trimmed().toLatin1(), line.mid(colon + 1).trimmed().toLatin1());
    }

    m_reply = m_manager.sendCustomRequest(request, operation.toLatin1(), inputData);
    connect(m_reply, &QNetworkReply::finished, this, &Transfer::replyFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { takeAnswerBytes(m_reply); });
    connect(m_reply, &QNetworkReply::uploadProgress, this, &Transfer::keepAlive);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &Transfer::keepAlive);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &Transfer::keepAlive);
    keepAlive();
}

void Transfer::keepAlive()
{
    if (m_requestTimeout <= 0)
        return;
    const auto allowed = std::chrono::milliseconds(
        std::min<qint64>(qint64(m_requestTimeout) * 1000, std::numeric_limits<int>::max()));
    m_silence.start(allowed);
}

void Transfer::silenceElapsed()
{
    m_timedOut = true;
    m_reply->abort();
}

void Transfer::authenticationRequired(QNetworkReply *, QAuthenticator *authenticator)
{
    // Offered once; when the server refuses them too, the transfer ends with that answer.
    if (m_credentialsOffered || (m_userName.isEmpty() && m_password.isEmpty()))
        return;
    m_credentialsOffered = true;
    authenticator->setUser(m_userName);
    authenticator->setPassword(m_password);
}

void Transfer::takeAnswerBytes(QNetworkReply *reply)
{
    const QByteArray bytes = reply->readAll();
    const qsizetype room = kAnswerLimit - m_answerBytes.size();
    if (bytes.size() > room)
        m_answerCut = true;
    m_answerBytes.append(bytes.left(std::max<qsizetype>(room, 0)));
}

void Transfer::replyFinished()
{
    m_silence.stop();
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();

    if (m_timedOut) {
        finish(kStateError, kTimedOut,
               QStringLiteral("サーバから%1秒間応答がなかったため、送信を打ち切りました。").arg(m_requestTimeout));
        return;
    }
    takeAnswerBytes(reply);
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || !isHttpAnswer(error)) {
        const Failure failure = describeFailure(error, reply->errorString());
        finish(kStateError, failure.code, failure.info);
        return;
    }
    const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    if (m_answerBytes.isEmpty() && status.toInt() >= 400) {
        finish(kStateError, status.toInt(), reason);
        return;
    }
    m_answer = decodeAnswer(contentTypeCharset(reply->header(QNetworkRequest::ContentTypeHeader).toString()));
    finish(kStateResponseCompleted, status.toInt(), reason);
}

// The charset the answer names, else UTF-8 when the bytes are valid UTF-8, else the charset of the
// settings.
QString Transfer::decodeAnswer(const QString &declaredCharset) const
{
    QString text;
    QStringDecoder declared(declaredCharset.toLatin1().constData());
    if (!declaredCharset.isEmpty() && declared.isValid()) {
        text = declared.decode(m_answerBytes);
    } else {
        QStringDecoder utf8(QStringDecoder::Utf8);
        text = utf8.decode(m_answerBytes);
        QStringDecoder fallback(m_answerCharset.toLatin1().constData());
        if (utf8.hasError() && fallback.isValid())
            text = fallback.decode(m_answerBytes);
    }
    if (m_answerCut)
        text += QStringLiteral("\n（応答が大きすぎるため、先頭の%1バイトだけを表示しています。）").arg(kAnswerLimit);
    return text;
}

void Transfer::finish(int state, int code, const QString &info)
{
    m_responseCode = code;
    m_responseInfo = info;
    m_executing = false;
    emit stateChanged(state);
}

void Transfer::failLater(int code, const QString &info)
{
    QMetaObject::invokeMethod(this, [this, code, info] { finish(kStateError, code, info); }, Qt::QueuedConnection);
}

QString Transfer::getChunk(qsizetype size)
{
    const QString chunk = m_answer.mid(m_answerRead, size);
    m_answerRead += chunk.size();
    return chunk;
}

} // namespace tessaly
