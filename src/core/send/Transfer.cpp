#include "core/send/Transfer.h"

#include "core/document/CharsetSniffing.h"

#include <QAuthenticator>
#include <QDir>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslCertificate>
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

QUrl requestUrl(const QString &text, Protocol protocol)
{
    const QString trimmed = text.trimmed();
    QUrl url(trimmed.contains(u"://") ? trimmed : QStringLiteral("http://") + trimmed);
    if (protocol == Protocol::Https)
        url.setScheme(QStringLiteral("https"));
    return url;
}

// Scheme, host and port: what a redirect and credentials must keep.
QString originOf(const QUrl &url)
{
    return QStringLiteral("%1://%2:%3").arg(url.scheme(), url.host()).arg(url.port(url.scheme() == u"https" ? 443 : 80));
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return originOf(a) == originOf(b);
}

// The Authorization header answering a challenge that offers Basic, nothing for other schemes.
// The credentials are UTF-8 when the challenge names charset="UTF-8" (RFC 7617), else Latin-1.
std::optional<QByteArray> basicAuthorization(const QByteArray &challenge, const QString &userName, const QString &password)
{
    static const QRegularExpression basic(QStringLiteral(R"((?:^|[,\n])\s*basic(?:\s|,|$))"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression utf8(QStringLiteral(R"(\bcharset\s*=\s*"?utf-8"?)"), QRegularExpression::CaseInsensitiveOption);
    const QString text = QString::fromLatin1(challenge);
    if (!basic.match(text).hasMatch())
        return std::nullopt;
    const QString credentials = userName + u':' + password;
    return "Basic " + (utf8.match(text).hasMatch() ? credentials.toUtf8() : credentials.toLatin1()).toBase64();
}

// The system's CA certificates, plus those of the file SSL_CERT_FILE and the directories
// SSL_CERT_DIR names (separated as PATH is), as OpenSSL's tools trust them; nothing when neither
// adds a certificate (Qt's default then stands). Reading them takes a while, so it is done once
// for each value of the two variables.
std::optional<QSslConfiguration> tlsConfiguration()
{
    const QString file = qEnvironmentVariable("SSL_CERT_FILE");
    const QString directories = qEnvironmentVariable("SSL_CERT_DIR");
    static QHash<QString, std::optional<QSslConfiguration>> read;
    const QString key = file + u'\n' + directories;
    if (const auto found = read.constFind(key); found != read.cend())
        return *found;
    QList<QSslCertificate> added;
    if (!file.isEmpty())
        added += QSslCertificate::fromPath(file, QSsl::Pem);
    for (const QString &directory : directories.split(QDir::listSeparator(), Qt::SkipEmptyParts))
        added += QSslCertificate::fromPath(QDir(directory).filePath(QStringLiteral("*")), QSsl::Pem,
                                           QSslCertificate::PatternSyntax::Wildcard);
    std::optional<QSslConfiguration> configuration;
    if (!added.isEmpty()) {
        configuration = QSslConfiguration::defaultConfiguration();
        configuration->setCaCertificates(QSslConfiguration::systemCaCertificates() + added);
    }
    return *read.insert(key, configuration);
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
    m_redirects = 0;

    const QUrl target = requestUrl(request.url, request.protocol);
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
    // Qt's cached credentials and connections of an earlier request are not reused; Basic
    // credentials this origin accepted before go at once.
    m_manager.clearAccessCache();
    m_manager.setProxy(*proxy);
    m_tlsConfiguration = target.scheme() == u"https" ? tlsConfiguration() : std::nullopt;
    m_origin = target;
    const auto accepted = m_acceptedCredentials.constFind(originOf(target));
    m_credentialsOffered = accepted != m_acceptedCredentials.cend() && accepted->userName == request.userName
                           && accepted->password == request.password;
    m_authorization = m_credentialsOffered ? accepted->authorization : QByteArray();
    m_qtAuthenticates = false;
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
    if (!m_authorization.isEmpty())
        post.setRawHeader("Authorization", m_authorization);
    if (m_tlsConfiguration)
        post.setSslConfiguration(*m_tlsConfiguration);
    // Redirects are judged here: Qt would resend a POST as a GET, or follow it to another origin.
    post.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // HTTP/1.1 only: the read buffer's limit below holds Qt's HTTP/1 connection, not an HTTP/2 stream.
    post.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    m_stop = Stop::None;
    m_answerBytes.clear();
    m_answerCut = false;
    m_overall.stop(); // it counts from the end of this request's upload
    if (m_request.bodySource) {
        auto *body = new BodySourceDevice(m_request.bodySource);
        post.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
        m_reply = m_manager.sendCustomRequest(post, QByteArrayLiteral("POST"), body);
        body->setParent(m_reply);
    } else {
        m_reply = m_manager.sendCustomRequest(post, QByteArrayLiteral("POST"), m_request.body);
    }
    // Qt hands the read buffer's size on to the connection only when it changes after the request
    // has started there: set before, it merely paces this thread while the connection goes on
    // decoding an endless answer into memory. Queued behind Qt's own start of the request, the
    // second call reaches the connection before any answer can.
    m_reply->setReadBufferSize(kReadBuffer);
    QMetaObject::invokeMethod(
        m_reply, [reply = m_reply.data()] { reply->setReadBufferSize(kReadBuffer); }, Qt::QueuedConnection);
    connect(m_reply, &QNetworkReply::finished, this, &Transfer::replyFinished);
    connect(m_reply, &QNetworkReply::readyRead, this, &Transfer::takeAnswerBytes);
    connect(m_reply, &QNetworkReply::uploadProgress, this, &Transfer::noteUploadProgress);
    connect(m_reply, &QNetworkReply::uploadProgress, this, &Transfer::uploadProgress);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &Transfer::keepAlive);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        keepAlive();
        startAnswerLimit();
    });
    keepAlive();
}

void Transfer::noteUploadProgress(qint64 sent, qint64 total)
{
    keepAlive();
    if (total > 0 && sent == total)
        startAnswerLimit();
}

// The overall limit starts when the whole body has been handed to the system, or when the answer
// begins before that.
void Transfer::startAnswerLimit()
{
    if (m_overall.isActive())
        return;
    if (m_request.overallLimitSeconds > 0)
        m_overall.start(std::chrono::seconds(std::min(m_request.overallLimitSeconds, std::numeric_limits<int>::max() / 1000)));
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

// Qt asks here for every challenge; it answers only one that answerChallenge() left to it, once.
// Unanswered, the reply ends with the 401 answer.
void Transfer::authenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator)
{
    if (!m_qtAuthenticates || !sameOrigin(reply->url(), m_origin))
        return;
    m_qtAuthenticates = false;
    authenticator->setUser(m_request.userName);
    authenticator->setPassword(m_request.password);
}

// Credentials are offered once, and only to the origin of the URL: the request goes again with
// them. Basic is answered here, in the charset the challenge asks for; other schemes by Qt. When
// the server refuses them too, the transfer ends with that answer. Returns whether it goes again.
bool Transfer::answerChallenge(QNetworkReply *reply)
{
    if (m_credentialsOffered || (m_request.userName.isEmpty() && m_request.password.isEmpty())
        || !sameOrigin(reply->url(), m_origin))
        return false;
    m_credentialsOffered = true;
    const std::optional<QByteArray> basic = basicAuthorization(reply->rawHeader("WWW-Authenticate"), m_request.userName,
                                                               m_request.password);
    m_authorization = basic.value_or(QByteArray());
    m_qtAuthenticates = !basic;
    post(reply->url());
    return true;
}

// Keeps at most kAnswerLimit bytes; once they are there the rest is not even downloaded.
void Transfer::takeAnswerBytes()
{
    if (!m_reply || m_stop != Stop::None)
        return;
    const qsizetype room = kAnswerLimit - m_answerBytes.size();
    const QByteArray bytes = m_reply->read(room + 1);
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
        finish(failure(kTimedOut,
                       QStringLiteral("サーバから%1秒間応答がなかったため、送信を打ち切りました。").arg(m_request.timeoutSeconds)));
        return;
    case Stop::OverallLimit:
        finish(failure(kTimedOut,
                       QStringLiteral("%1秒以内に送信が終わらなかったため中止しました。").arg(m_request.overallLimitSeconds)));
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
    if (reply->hasRawHeader("Content-Encoding") && error != QNetworkReply::NoError && status < 400 && m_stop != Stop::AnswerCut) {
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
    if (!m_authorization.isEmpty()) {
        // Basic credentials the origin accepted go at once with the next send; refused, they are forgotten.
        if (status == 401)
            m_acceptedCredentials.remove(originOf(m_origin));
        else
            m_acceptedCredentials.insert(originOf(m_origin), {m_request.userName, m_request.password, m_authorization});
    }
    if (status == 401 && answerChallenge(reply))
        return;
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
    QMetaObject::invokeMethod(
        this, [this, code, description] { finish(failure(code, description)); }, Qt::QueuedConnection);
}

} // namespace tessaly
