#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

namespace tessaly {

// The component's protocol and access type values.
inline constexpr int kProtocolDefault = 1;
inline constexpr int kProtocolHttp = 4;
inline constexpr int kProtocolHttps = 5;
inline constexpr int kAccessDirect = 0;
inline constexpr int kAccessNamedProxy = 2;

// The HTTP transfer component: settings that stay from one request to the next, an asynchronous
// execute, and one state notification when the transfer has ended, either failed (kStateError, with
// a response code and information) or complete (kStateResponseCompleted, the answer readable in
// chunks).
class Transfer : public QObject {
    Q_OBJECT

public:
    static constexpr int kStateError = 11;
    static constexpr int kStateResponseCompleted = 12;

    // Response codes of the failures the program describes itself.
    static constexpr int kTimedOut = 12002;
    static constexpr int kInvalidUrl = 12005;
    static constexpr int kHostNotFound = 12007;
    static constexpr int kConnectionAborted = 12030;
    static constexpr int kCannotConnect = 12029;
    static constexpr int kInvalidProxy = 12033;
    static constexpr int kSecureChannelFailed = 12157;
    static constexpr int kProxyFailed = 12165;

    // Answers beyond this many bytes are cut, with a note at the end of the text.
    static constexpr qsizetype kAnswerLimit = 1 << 20;

    explicit Transfer(QObject *parent = nullptr);
    ~Transfer() override;

    // Default and HTTP take the URL's scheme (http when it names none); HTTPS always uses HTTPS.
    void setProtocol(int protocol) { m_protocol = protocol; }
    int protocol() const { return m_protocol; }
    // Direct access, or through the named proxy: "host:port" or "http://host:port" (port 80 when none).
    void setAccessType(int accessType) { m_accessType = accessType; }
    void setProxy(const QString &proxy) { m_proxy = proxy; }
    // Offered once when the server asks for authentication, never sent unasked.
    void setUserName(const QString &userName) { m_userName = userName; }
    void setPassword(const QString &password) { m_password = password; }
    // The longest silence allowed in the transfer, in seconds; 0 waits without limit.
    void setRequestTimeout(int seconds) { m_requestTimeout = seconds; }
    // Decodes an answer that names no character set and is not UTF-8.
    void setAnswerCharset(const QString &charset) { m_answerCharset = charset; }

    // Starts the request and returns at once; the state notification follows. inputHeaders holds
    // "Name: value" lines. Must not be called while stillExecuting().
    void execute(const QString &url, const QString &operation, const QByteArray &inputData,
                 const QString &inputHeaders);
    bool stillExecuting() const { return m_executing; }

    int responseCode() const { return m_responseCode; }
    QString responseInfo() const { return m_responseInfo; }
    // The next piece of the answer's text, at most size characters; empty at its end.
    QString getChunk(qsizetype size);

signals:
    void stateChanged(int state);

private:
    void replyFinished();
    void keepAlive();
    void silenceElapsed();
    void authenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator);
    void takeAnswerBytes(QNetworkReply *reply);
    void finish(int state, int code, const QString &info);
    void failLater(int code, const QString &info);
    QString decodeAnswer(const QString &declaredCharset) const;

    QNetworkAccessManager m_manager;
    QTimer m_silence;
    QPointer<QNetworkReply> m_reply;

    int m_protocol = kProtocolDefault;
    int m_accessType = kAccessDirect;
    QString m_proxy;
    QString m_userName;
    QString m_password;
    int m_requestTimeout = 0;
    QString m_answerCharset;

    bool m_executing = false;
    bool m_credentialsOffered = false;
    bool m_timedOut = false;
    QByteArray m_answerBytes;
    bool m_answerCut = false;
    int m_responseCode = 0;
    QString m_responseInfo;
    QString m_answer;
    qsizetype m_answerRead = 0;
};

} // namespace tessaly
