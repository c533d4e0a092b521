#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <optional>

namespace tessaly {

// Default and HTTP take the URL's scheme (http when it names none); HTTPS always uses HTTPS.
enum class TransferProtocol { Default, Http, Https };

// Everything one POST needs, fixed before it starts.
struct TransferRequest {
    QString url;                              // as typed: spaces around it are ignored
    std::optional<TransferProtocol> protocol; // nothing: the protocol of the previous request stays
    QString proxy;                            // "host:port" or "http://host:port" (port 80 when none); empty: direct
    QString userName;                         // offered once when the server asks, never sent unasked
    QString password;
    int timeoutSeconds = 0;                   // the longest silence allowed; 0 waits without limit
    QByteArray body;
    QByteArray contentType;
    QString answerCharset;                    // decodes an answer that names no charset and is not UTF-8
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

// Sends one request at a time and reports its end through finished().
class Transfer : public QObject {
    Q_OBJECT

public:
    // Codes of the failures the program describes itself.
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

    // Starts the POST and returns at once; finished() follows, also when the request cannot be
    // sent at all. Must not be called while isRunning().
    void start(const TransferRequest &request);
    bool isRunning() const { return m_running; }

signals:
    void finished(const tessaly::TransferResult &result);

private:
    void replyFinished();
    void keepAlive();
    void silenceElapsed();
    void authenticationRequired(QNetworkReply *reply, QAuthenticator *authenticator);
    void takeAnswerBytes(QNetworkReply *reply);
    void finish(TransferResult result);
    void fail(int code, const QString &description);
    void failLater(int code, const QString &description);
    QString decodeAnswer(const QString &declaredCharset) const;

    QNetworkAccessManager m_manager;
    QTimer m_silence;
    QPointer<QNetworkReply> m_reply;

    TransferProtocol m_protocol = TransferProtocol::Default;
    TransferRequest m_request;

    bool m_running = false;
    bool m_credentialsOffered = false;
    bool m_timedOut = false;
    QByteArray m_answerBytes;
    bool m_answerCut = false;
};

} // namespace tessaly
