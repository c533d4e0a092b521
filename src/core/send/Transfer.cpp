#include "core/send/Transfer.h"

#include "core/document/CharsetSniffing.h"

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

// Same-origin redirects followed in one transfer before it counts as a loop.
constexpr int kRedirectsFollowed = 10;

// Bytes Qt may hold for the answer before it stops reading from the socket.
constexpr qint64 kReadBuffer = 64 * 1024;

const QString kProxyUnreachable = QStringLiteral("プロキシサーバに接続できませんでした。");

// A body source read as a device of known size. It can seek, so that Qt sends it again after a
// redirect or when the server asks for credentials.
class BodySourceDevice final : public QIODevice {
public:
    explicit BodySourceDevice(std::shared_ptr<BodySource> source)
        : m_source(std::move(source))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_source->size(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        return m_source->read(pos(), data, std::min(maxSize, size() - pos()));
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    std::shared_ptr<BodySource> m_source;
};

TransferResult failure(int code, const QString &description)
{
    return {false, code, description, 0, {}};
}

TransferResult describeFailure(QNetworkReply::NetworkError error, bool throughProxy)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
        // The connection goes to the proxy when there is one.
        if (throughProxy)
            return failure(Transfer::kProxyFailed, kProxyUnreachable);
        if (error == QNetworkReply::HostNotFoundError)
            return failure(Transfer::kHostNotFound, QStringLiteral("サーバが見つかりませんでした（ホスト名を解決できません）。"));
        return failure(Transfer::kCannotConnect, QStringLiteral("サーバに接続できませんでした（接続を拒否されました）。"));
    case QNetworkReply::SslHandshakeFailedError:
        return failure(Transfer::kSecureChannelFailed, QStringLiteral("サーバとの暗号化通信（SSL/TLS）を確立できませんでした。"));
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return failure(Transfer::kProxyFailed, kProxyUnreachable);
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return failure(Transfer::kProxyFailed, QStringLiteral("プロキシサーバを経由して接続できませんでした。"));
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::UnknownContentError:
        return failure(Transfer::kInvalidAnswer, QStringLiteral("サーバの応答が正しくありません。"));
    default:
        // Qt reports a refused tunnel through a proxy as an unknown network error.
        if (throughProxy)
            return failure(Transfer::kProxyFailed, kProxyUnreachable);
        return failure(Transfer::kConnectionAborted, QStringLiteral("サーバが応答を返さずに接続を切りました。"));
    }
}

std::optional<QNetworkProxy> proxyFor(const QString &proxy)
{
    if (proxy.isEmpty())
        return QNetworkProxy(QNetworkProxy::NoProxy);
    const QUrl url(proxy.contains(u"://") ? proxy : QStringLiteral("http://") + proxy);
    if (!url.isValid() || url.scheme() != u"http" || url.host().isEmpty())
        return std::nullopt;
    return QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), static_cast<quint16>(url.port(80)));
}

QUrl requestUrl(const QString &text, TransferProtocol protocol)
{
    const QString trimmed = text.trimmed();
    QUrl url(trimmed.contains(u"://") ? trimmed : QStringLiteral("http://") + trimmed);
    if (protocol == TransferProtocol::Https)
        url.setScheme(QStringLiteral("https"));
    return url;
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const auto defaultPort = [](const QUrl &url) { return url.scheme() == u"https" ? 443 : 80; };
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(defaultPort(a)) == b.port(defaultPort(b));
}

} // namespace

QString maskPassword(const QString &text)
{
    // "scheme://user:password@" and "user:password@host" (a proxy): the password is replaced.
    static const QRegularExpression userInfo(QStringLiteral("((?:^|://)[^/?#@:\\s]*:)[^/?#@\\s]*@"));
    QString masked = text;
    return masked.replace(userInfo, QStringLiteral("\\1****@"));
}

int overallLimitSeconds(int timeoutSeconds)
{
    if (timeoutSeconds <= 0)
        return 600;
    return std::max(60, std::min(timeoutSeconds, std::numeric_limits<int>::max() / 10) * 10);
}

Transfer::Transfer(QObject *parent)
    : QObject(parent)
{
    m_silence.setSingleShot(true);
    m_overall.setSingleShot(true);
    connect(&m_silence, &QTimer::timeout, this, [this] { stop(Stop::SilenceLimit); });
    connect(&m_overall, &QTimer::timeout, this, [this] { stop(Stop::OverallLimit); });
    connect(&m_manager, &QNetworkAccessManager::authenticationRequired, this, &Transfer::authenticationRequired);
}

Transfer::~Transfer()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

void Transfer::start(const TransferRequest &request)
{
    Q_ASSERT(!m_running);
    m_running = true;
    m_request = request;
    m_credentialsOffered = false;
    m_stop = Stop::None;
    m_redirects = 0;
    m_answerBytes.clear();
    m_answerCut = false;
    if (request.protocol)
        m_protocol = *request.protocol;

    const QUrl target = requestUrl(request.url, m_protocol);
    if (!target.isValid() || target.host().isEmpty()) {
        failLater(kInvalidUrl, QStringLiteral("URL「%1」が正しくありません。").arg(maskPassword(request.url)));
        return;
    }
    if (target.scheme() != u"http" && target.scheme() != u"https") {
        failLater(kUnsupportedScheme, QStringLiteral("URLの方式「%1」には対応していません。").arg(target.scheme()));
        return;
    }
    const std::optional<QNetworkProxy> proxy = proxyFor(request.proxy);
    if (!proxy) {
        failLater(kInvalidProxy, QStringLiteral("プロキシ「%1」が正しくありません。「ホスト名:ポート番号」の形で指定して下さい。")
                                     .arg(maskPassword(request.proxy)));
        return;
    }
    // Credentials and connections of an earlier request must not be reused unasked.
    m_manager.clearAccessCache();
    m_manager.setProxy(*proxy);
    m_origin = target;
    if (request.overallLimitSeconds > 0)
        m_overall.start(std::chrono::seconds(std::min(request.overallLimitSeconds, std::numeric_limits<int>::max() / 1000)));
    post(target);
}

void Transfer::cancel()
{
    stop(Stop::Cancelled);
}

void Transfer::post(const QUrl &target)
{
    QNetworkRequest post(target);
    post.setRawHeader("Content-Type", m_request.contentType);
    // Redirects are judged here: Qt would resend a POST as a GET, or follow it to another origin.
    post.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (m_request.bodySource) {
        auto *body = new BodySourceDevice(m_request.bodySource);
        post.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
        m_reply = m_manager.sendCustomRequest(post, QByteArrayLiteral("POST"), body);
        body->setParent(m_reply);
    } else {
        m_reply = m_manager.sendCustomRequest(post, QByteArrayLiteral("POST"), m_request.body);
    }
    m_reply->setReadBufferSize(kReadBuffer);
    connect(m_reply, &QNetworkReply::finished, this, &Transfer::replyFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, &Transfer::takeAnswerBytes);
    connect(m_reply, &QNetworkReply::uploadProgress, this, &Transfer::keepAlive);
    connect(m_reply, &QNetworkReply::uploadProgress, this, &Transfer::uploadProgress);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &Transfer::keepAlive);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &Transfer::keepAlive);
    keepAlive();
}

void Transfer::keepAlive()
{
    if (m_request.timeoutSeconds <= 0)
        return;
    const auto allowed = std::chrono::milliseconds(
        std::min<qint64>(qint64(m_request.timeoutSeconds) * 1000, std::numeric_limits<int>::max()));
    m_silence.start(allowed);
}

void Transfer::stop(Stop reason)
{
    if (!m_reply)
        return;
    m_stop = reason;
    m_reply->abort();
}

void Transfer::authenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator)
{
    // Offered once, and only to the origin of the URL; when the server refuses them too, the
    // transfer ends with that answer.
    if (m_credentialsOffered || (m_request.userName.isEmpty() && m_request.password.isEmpty())
        || !sameOrigin(reply->url(), m_origin))
        return;
    m_credentialsOffered = true;
    authenticator->setUser(m_request.userName);
    authenticator->setPassword(m_request.password);
}

// Keeps at most kAnswerLimit bytes; once they are there the rest is not even downloaded.
void Transfer::takeAnswerBytes()
{
    if (!m_reply || m_stop != Stop::None)
        return;
    const QByteArray bytes = m_reply->readAll();
    const qsizetype room = kAnswerLimit - m_answerBytes.size();
    m_answerBytes.append(bytes.first(std::min(room, bytes.size())));
    if (bytes.size() > room) {
        m_answerCut = true;
        stop(Stop::AnswerCut);
    }
}

void Transfer::replyFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    takeAnswerBytes();
    m_reply = nullptr;
    reply->deleteLater();
    m_silence.stop();

    switch (m_stop) {
    case Stop::SilenceLimit:
        finish(failure(kTimedOut, QStringLiteral("サーバから%1秒間応答がなかったため、送信を打ち切りました。")
                                      .arg(m_request.timeoutSeconds)));
        return;
    case Stop::OverallLimit:
        finish(failure(kTimedOut, QStringLiteral("%1秒以内に送信が終わらなかったため中止しました。")
                                      .arg(m_request.overallLimitSeconds)));
        return;
    case Stop::Cancelled:
        finish(failure(kCancelled, QStringLiteral("送信を中止しました。")));
        return;
    case Stop::AnswerCut:
    case Stop::None:
        break;
    }

    const QNetworkReply::NetworkError error = reply->error();
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusAttribute.toInt();
    // Qt ends a reply whose content it cannot decompress with an error after the status arrived.
    if (reply->hasRawHeader("Content-Encoding") && error != QNetworkReply::NoError && status < 400
        && m_stop != Stop::AnswerCut) {
        finish(failure(kUndecodableAnswer, QStringLiteral("サーバの応答を展開できませんでした。")));
        return;
    }
    // An error status counts as the answer also when the connection was reset after it arrived
    // (a server refusing a large body early); any other status needs a complete answer.
    const bool answered = statusAttribute.isValid()
                          && (status >= 400 || error == QNetworkReply::NoError || m_stop == Stop::AnswerCut);
    if (!answered) {
        finish(describeFailure(error, m_manager.proxy().type() != QNetworkProxy::NoProxy));
        return;
    }
    if (status >= 300 && status < 400 && reply->hasRawHeader("Location")) {
        followRedirect(reply, status);
        return;
    }
    const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    if (m_answerBytes.isEmpty() && status >= 400) {
        finish({false, status, reason, status, {}});
        return;
    }
    const QString answer = decodeAnswer(contentTypeCharset(reply->header(QNetworkRequest::ContentTypeHeader).toString()));
    finish({true, status, reason, status, answer});
}

// Only 307 and 308 keep the method and body; they are followed within the URL's origin.
void Transfer::followRedirect(QNetworkReply *reply, int status)
{
    const QString location = QString::fromLatin1(reply->rawHeader("Location"));
    const QUrl target = reply->url().resolved(QUrl(location));
    if ((status != 307 && status != 308) || !sameOrigin(target, m_origin)) {
        finish(failure(kRedirectRefused, QStringLiteral("サーバが別の場所へ転送しようとしたため送信を中止しました（%1 %2）。")
                                             .arg(status)
                                             .arg(maskPassword(location))));
        return;
    }
    if (++m_redirects > kRedirectsFollowed) {
        finish(failure(kRedirectRefused, QStringLiteral("サーバの転送が繰り返されたため送信を中止しました。")));
        return;
    }
    m_answerBytes.clear();
    post(target);
}

// The charset the answer names, else UTF-8 when the bytes are valid UTF-8, else the charset of the
// request.
QString Transfer::decodeAnswer(const QString &declaredCharset) const
{
    QString text;
    QStringDecoder declared(declaredCharset.toLatin1().constData());
    if (!declaredCharset.isEmpty() && declared.isValid()) {
        text = declared.decode(m_answerBytes);
    } else {
        QStringDecoder utf8(QStringDecoder::Utf8);
        text = utf8.decode(m_answerBytes);
        QStringDecoder fallback(m_request.answerCharset.toLatin1().constData());
        if (utf8.hasError() && fallback.isValid())
            text = fallback.decode(m_answerBytes);
    }
    if (m_answerCut)
        text += QStringLiteral("\n（応答が大きすぎるため、先頭の%1バイトだけを表示しています。）").arg(kAnswerLimit);
    return text;
}

void Transfer::finish(const TransferResult &result)
{
    m_overall.stop();
    m_silence.stop();
    m_running = false;
    m_request = {};
    m_answerBytes.clear();
    emit finished(result);
}

void Transfer::failLater(int code, const QString &description)
{
    QMetaObject::invokeMethod(this, [this, code, description] { finish(failure(code, description)); }, Qt::QueuedConnection);
}

} // namespace tessaly
