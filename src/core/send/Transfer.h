#pragma once

#include "core/settings/Settings.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

namespace tessaly {

// A request body composed while it is sent, for a body too large to be held beside what it is
// made from. It is read from the thread the transfer runs on, and from one reply at a time.
class BodySource {
public:
    virtual ~BodySource() = default;
    virtual qint64 size() const = 0;
    // Copies up to `length` bytes from `offset` to `out`; returns how many.
    virtual qint64 read(qint64 offset, char *out, qint64 length) = 0;
};

// Everything one POST needs, fixed before it starts.
struct TransferRequest {
    QString url; // as typed: spaces around it are ignored
    Protocol protocol = Protocol::Default;
    QString proxy; // "host:port" or "http://host:port" (port 80 when none); empty: direct
    QString userName; // offered once the URL's origin has asked for them
    QString password;
    int timeoutSeconds = 0; // the longest silence allowed; 0 waits without limit
    int overallLimitSeconds = 0; // the wait for the answer once the body is sent; 0: no limit
    QByteArray body;
    std::shared_ptr<BodySource> bodySource; // when set, the body instead of `body`
    QByteArray contentType;
    QString answerCharset; // decodes an answer that names no charset and is not UTF-8
};

// How a transfer ended. ok: the server answered and answerText is that answer (its status may
// still be an error status). Otherwise code is one of the program's failure codes, or the HTTP
// status of an error answer without a body, and description says what happened.
struct TransferResult {
    bool ok = false;
    int code = 0;
    QString description;
    int httpStatus = 0; // 0 when no answer arrived
    QString answerText;
};

// The overall limit that goes with a time-out: ten times it, at least a minute, and ten minutes
// when there is no silence limit. It counts from the end of the upload, so a large body on a slow
// line is limited only by the silence time-out.
int overallLimitSeconds(int timeoutSeconds);

// The text with the password of any "user:password@" in it replaced by asterisks.
QString maskPassword(const QString &text);

// Sends one request at a time and reports its end through finished(). Redirects are followed only
// when they keep the method and the URL's origin (307 and 308); credentials go to that origin
// only, and once it has accepted Basic credentials they go with the next request to it at once;
// at most kAnswerLimit bytes of the answer are downloaded. The CA certificates named by
// SSL_CERT_FILE and SSL_CERT_DIR are trusted besides the system's, as OpenSSL's tools do.
class Transfer : public QObject {
    Q_OBJECT

public:
    // Codes of the failures the program describes itself.
    static constexpr int kTimedOut = 12002;
    static constexpr int kInvalidUrl = 12005;
    static constexpr int kUnsupportedScheme = 12006;
    static constexpr int kHostNotFound = 12007;
    static constexpr int kCancelled = 12017;
    static constexpr int kCannotConnect = 12029;
    static constexpr int kConnectionAborted = 12030;
    static constexpr int kInvalidProxy = 12033;
    static constexpr int kInvalidAnswer = 12152;
    static constexpr int kRedirectRefused = 12156;
    static constexpr int kSecureChannelFailed = 12157;
    static constexpr int kProxyFailed = 12165;
    static constexpr int kUndecodableAnswer = 12175;

    // Answers beyond this many bytes are cut, with a note at the end of the text, and the rest is
    // not downloaded.
    static constexpr qsizetype kAnswerLimit = 1 << 20;

    explicit Transfer(QObject *parent = nullptr);
    ~Transfer() override;

    // Starts the POST and returns at once; finished() follows, also when the request cannot be
    // sent at all. Must not be called while isRunning().
    void start(const TransferRequest &request);
    bool isRunning() const { return m_running; }
    // Ends a running transfer; finished() reports it as cancelled.
    void cancel();

signals:
    void finished(const tessaly::TransferResult &result);
    // Bytes of the request body sent so far, of `total`.
    void uploadProgress(qint64 sent, qint64 total);

private:
    // Why the transfer aborted its reply.
    enum class Stop { None, SilenceLimit, OverallLimit, Cancelled, AnswerCut };

    void post(const QUrl &target);
    void replyFinished();
    bool answerChallenge(QNetworkReply *reply);
    void followRedirect(QNetworkReply *reply, int status);
    void keepAlive();
    void noteUploadProgress(qint64 sent, qint64 total);
    void startAnswerLimit();
    void stop(Stop reason);
    void authenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator);
    void takeAnswerBytes();
    void finish(const TransferResult &result);
    void failLater(int code, const QString &description);
    QString decodeAnswer(const QString &declaredCharset) const;

    QNetworkAccessManager m_manager;
    QTimer m_silence;
    QTimer m_overall;
    QPointer<QNetworkReply> m_reply;

    TransferRequest m_request;
    QUrl m_origin; // the URL of the request: redirects and credentials stay within its origin
    std::optional<QSslConfiguration> m_tlsConfiguration;

    // Basic credentials an origin accepted during this run, by origin: offered at once next time
    // while the settings hold the same user name and password.
    struct AcceptedCredentials {
        QString userName;
        QString password;
        QByteArray authorization;
    };
    QHash<QString, AcceptedCredentials> m_acceptedCredentials;
    QByteArray m_authorization; // the Authorization header of this send's requests; empty: none
    bool m_qtAuthenticates = false; // a challenge other than Basic: Qt answers it with the credentials

    bool m_running = false;
    bool m_credentialsOffered = false;
    Stop m_stop = Stop::None;
    int m_redirects = 0;
    QByteArray m_answerBytes;
    bool m_answerCut = false;
};

} // namespace tessaly
