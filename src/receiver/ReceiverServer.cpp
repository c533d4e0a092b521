#include "receiver/ReceiverServer.h"

#include "core/document/CharsetSniffing.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>

#include <microhttpd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#ifdef _WIN32
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace tessaly::receiver {

namespace {

using Clock = std::chrono::steady_clock;

// A body that is refused is still read, and thrown away, for this long at most, so that the
// client, still sending, sees the answer instead of a reset connection.
constexpr auto kDrainTime = std::chrono::seconds(10);
// The longest a client may stay silent while sending a request or reading its answer.
constexpr unsigned kSilenceSeconds = 20;
// The whole header must have arrived this long after the connection was accepted.
constexpr auto kHeaderDeadline = std::chrono::seconds(30);
// The request line and header fields together; more is answered 431.
constexpr qint64 kHeaderLimit = 64 * 1024;
// Each connection's buffer: the header and a piece of the body. A header that does not fit in it
// is refused by the library itself, before it reaches the receiver.
constexpr size_t kConnectionMemory = 2 * kHeaderLimit;
// After SIGTERM, requests in progress may finish for this long, then are rolled back.
constexpr auto kStopGrace = std::chrono::seconds(3);
constexpr auto kRollbackGrace = std::chrono::seconds(2);
constexpr int kRetryAfterSeconds = 30;

// Log text from a request: control characters cannot start a forged line, and length is bounded.
QString printable(QString text)
{
    text.truncate(200);
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line)
            c = u'?';
    }
    return text.isEmpty() ? QStringLiteral("-") : text;
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    uchar difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= uchar(a[i] ^ b[i]);
    return difference == 0;
}

// The address given, or both loopback addresses for "localhost".
QStringList hostsFor(const QString &host)
{
    return host == u"localhost" ? QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("::1")} : QStringList{host};
}

void closeSocket(MHD_socket socket)
{
#ifdef _WIN32
    closesocket(socket);
#else
    close(socket);
#endif
}

// The port of an IPv4 or IPv6 address: both keep it at the same place.
quint16 portOf(const sockaddr *address)
{
    return address ? ntohs(reinterpret_cast<const sockaddr_in *>(address)->sin_port) : 0;
}

bool ipv6LoopbackAvailable()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6, 0);
}

// A listening socket of the receiver's own. Without SO_REUSEPORT, so that a second receiver on
// the same port fails instead of taking half of the requests. *port 0 becomes the one given.
MHD_socket listenOn(const QString &host, int *port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.toUtf8().constData(), QByteArray::number(*port).constData(), &hints, &found) != 0)
        return MHD_INVALID_SOCKET;
    MHD_socket socket = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    bool listening = false;
    if (socket != MHD_INVALID_SOCKET) {
        const int yes = 1;
#ifdef _WIN32
        setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&yes), sizeof yes);
#else
        // Only lets a restart bind while old connections linger; a second listener still fails.
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
        if (found->ai_family == AF_INET6)
            setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char *>(&yes), sizeof yes);
        listening = ::bind(socket, found->ai_addr, socklen_t(found->ai_addrlen)) == 0 && ::listen(socket, 128) == 0;
    }
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    if (listening && getsockname(socket, reinterpret_cast<sockaddr *>(&bound), &boundSize) == 0)
        *port = portOf(reinterpret_cast<const sockaddr *>(&bound));
    if (!listening && socket != MHD_INVALID_SOCKET) {
        closeSocket(socket);
        socket = MHD_INVALID_SOCKET;
    }
    return socket;
}

QByteArray headerValue(MHD_Connection *connection, const char *name)
{
    return QByteArray(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name));
}

// Whether the peer of a connection still waits for its answer: it has neither closed nor reset it.
bool peerConnected(MHD_socket socket)
{
#ifdef _WIN32
    Q_UNUSED(socket);
    return true;
#else
    pollfd watched{socket, POLLIN, 0};
#ifdef POLLRDHUP
    watched.events |= POLLRDHUP;
#endif
    if (poll(&watched, 1, 0) <= 0)
        return true;
#ifdef POLLRDHUP
    if (watched.revents & POLLRDHUP)
        return false;
#endif
    if (watched.revents & (POLLERR | POLLHUP))
        return false;
    char byte;
    return recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
#endif
}

} // namespace

// One accepted connection while it sends its header.
struct ReceiverServer::Connection {
    MHD_socket socket;
    Clock::time_point accepted = Clock::now();
};

// One request, from its header to its answer.
struct ReceiverServer::Request {
    Clock::time_point start = Clock::now();
    QByteArray method;
    QByteArray path;
    std::optional<Answer> refusal;
    std::optional<FormReader> form;
    qint64 received = 0;
    qint64 reserved = 0;
    Clock::time_point droppingSince;
    QString table;
    int status = 0;
    qsizetype rows = -1;
};

// libmicrohttpd's callbacks, which reach the server through their `cls` argument.
struct ServerCallbacks {
    static ReceiverServer &server(void *cls) { return *static_cast<ReceiverServer *>(cls); }

    static void connectionChanged(void *cls, MHD_Connection *connection, void **context, MHD_ConnectionNotificationCode change)
    {
        ReceiverServer &self = server(cls);
        std::lock_guard lock(self.m_connectionsMutex);
        if (change == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            auto *watched = new ReceiverServer::Connection{info->connect_fd};
            self.m_connections.insert(watched);
            *context = watched;
        } else {
            auto *watched = static_cast<ReceiverServer::Connection *>(*context);
            self.m_connections.erase(watched);
            delete watched;
        }
    }

    static MHD_Result handle(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                             const char *data, size_t *size, void **context)
    {
        ReceiverServer &self = server(cls);
        auto *request = static_cast<ReceiverServer::Request *>(*context);
        if (request->method.isEmpty()) {
            {
                // The whole header is here: no deadline for it any more.
                std::lock_guard lock(self.m_connectionsMutex);
                const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
                self.m_connections.erase(static_cast<ReceiverServer::Connection *>(info->socket_context));
            }
            ++self.m_requestsRunning;
            request->method = method;
            request->path = url;
            request->refusal = refusalBeforeBody(self, connection, *request);
            // Nothing to wait for: no body follows, or the client waits for "100 Continue" before sending it.
            const bool bodyFollows = hasBody(connection);
            if (request->refusal && (!bodyFollows || headerValue(connection, "Expect").toLower().contains("100-continue")))
                return answer(connection, *request, *request->refusal);
            if (request->refusal)
                request->droppingSince = Clock::now();
            else
                request->form.emplace(contentTypeCharset(QString::fromLatin1(headerValue(connection, "Content-Type"))),
                                      std::min(request->reserved, self.m_options.maxBody));
            return MHD_YES;
        }
        if (*size > 0) {
            receive(self, *request, data, qsizetype(*size));
            *size = 0;
            if (!request->form && Clock::now() - request->droppingSince > kDrainTime)
                return answer(connection, *request, *request->refusal);
            return MHD_YES;
        }
        if (request->refusal)
            return answer(connection, *request, *request->refusal);
        Result<InsertForm> fields = request->form->finish();
        request->form.reset();
        if (!fields)
            return answer(connection, *request, {400, fields.failure().message});
        request->table = fields->tableName;
        const MHD_socket socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
        const Answer result = insertForm(std::move(*fields), self.m_settings,
                                         [&self, socket] { return !self.m_rollingBack && peerConnected(socket); });
#ifdef __GLIBC__
        // Each worker allocates from its own arena; give a large request's memory back at once
        // instead of letting every worker keep its peak.
        malloc_trim(0);
#endif
        return answer(connection, *request, result);
    }

    // A request's start, once its first line is read; also those the library answers itself.
    static void *requestStarted(void *, const char *uri, MHD_Connection *)
    {
        auto *request = new ReceiverServer::Request;
        request->path = QByteArray(uri).left(QByteArray(uri).indexOf('?'));
        return request;
    }

    static bool hasBody(MHD_Connection *connection)
    {
        return headerValue(connection, "Content-Length").toLongLong() > 0
               || headerValue(connection, "Transfer-Encoding").toLower().contains("chunked");
    }

    static void receive(ReceiverServer &self, ReceiverServer::Request &request, const char *data, qsizetype size)
    {
        request.received += size;
        if (request.form && request.received > request.reserved) {
            // A chunked body reserves its budget as it grows.
            const qint64 more = request.received - request.reserved;
            if (request.received > self.m_options.maxBody) {
                request.refusal = Answer{413, tooLargeText(self)};
            } else if (self.reserveBody(more)) {
                request.reserved += more;
            } else {
                request.refusal = busyAnswer();
            }
            if (request.refusal) {
                request.form.reset();
                request.droppingSince = Clock::now();
            }
        }
        if (request.form)
            request.form->feed(data, size);
    }

    static QString tooLargeText(const ReceiverServer &self)
    {
        return QStringLiteral("本文が上限の %1 バイトを超えています。").arg(self.m_options.maxBody);
    }

    static Answer busyAnswer()
    {
        return {503,
                QStringLiteral("ほかの要求の本文を受信中で、メモリの上限に達しています。しばらくしてから送り直して下さい。")};
    }

    static bool authorized(const ReceiverServer &self, MHD_Connection *connection)
    {
        if (self.m_options.user.isEmpty())
            return true;
        const QByteArray header = headerValue(connection, "Authorization").trimmed();
        const qsizetype space = header.indexOf(' ');
        // The scheme's name is case-insensitive.
        if (space < 0 || header.left(space).compare("Basic", Qt::CaseInsensitive) != 0)
            return false;
        const QByteArray::FromBase64Result credentials = QByteArray::fromBase64Encoding(header.mid(space + 1).trimmed(),
                                                                                        QByteArray::AbortOnBase64DecodingErrors);
        return credentials && sameBytes(*credentials, self.m_options.user.toUtf8() + ':' + self.m_options.password);
    }

    static std::optional<Answer> refusalBeforeBody(ReceiverServer &self, MHD_Connection *connection,
                                                   ReceiverServer::Request &request)
    {
        const MHD_ConnectionInfo *headerSize = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        if (headerSize && qint64(headerSize->header_size) > kHeaderLimit)
            return Answer{431, QStringLiteral("ヘッダーが上限の %1 バイトを超えています。").arg(kHeaderLimit)};
        const QString path = self.m_options.path;
        if (request.path != path.toUtf8())
            return Answer{404, QStringLiteral("ここでは何も受け付けていません。挿入の要求は %1 に送って下さい。").arg(path)};
        if (request.method != "POST")
            return Answer{405, QStringLiteral("挿入の要求は POST で送って下さい。")};
        if (!authorized(self, connection))
            return Answer{401, QStringLiteral("ユーザー名またはパスワードが正しくありません。")};
        if (const QByteArray encoding = headerValue(connection, "Content-Encoding"); !encoding.isEmpty()) {
            return Answer{415, QStringLiteral("Content-Encoding（%1）のついた本文は受け付けません。圧縮せずに送って下さい。")
                                   .arg(printable(QString::fromLatin1(encoding)))};
        }
        const QByteArray lengthText = headerValue(connection, "Content-Length");
        const bool chunked = headerValue(connection, "Transfer-Encoding").toLower().contains("chunked");
        if (lengthText.isEmpty() && !chunked)
            return Answer{411, QStringLiteral("Content-Length のない要求は受け付けません。")};
        const qint64 length = lengthText.toLongLong();
        if (length > self.m_options.maxBody)
            return Answer{413, tooLargeText(self)};
        const QString contentType = QString::fromLatin1(headerValue(connection, "Content-Type"));
        if (contentType.section(u';', 0, 0).trimmed().compare(u"application/x-www-form-urlencoded", Qt::CaseInsensitive) != 0) {
            return Answer{
                400, QStringLiteral(
                         "本文は application/x-www-form-urlencoded の形で送って下さい（Content-Type「%1」は受け付けません）。")
                         .arg(printable(contentType))};
        }
        if (!self.reserveBody(length))
            return busyAnswer();
        request.reserved = length;
        return std::nullopt;
    }

    static MHD_Result answer(MHD_Connection *connection, ReceiverServer::Request &request, const Answer &reply)
    {
        QString line = reply.text;
        line.replace(u'\r', u' ').replace(u'\n', u' ');
        QByteArray body = line.toUtf8();
        MHD_Response *response = MHD_create_response_from_buffer(size_t(body.size()), body.data(), MHD_RESPMEM_MUST_COPY);
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=UTF-8");
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        if (reply.status == 401)
            MHD_add_response_header(response, MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                                    "Basic realm=\"tessaly-receiver\", charset=\"UTF-8\"");
        if (reply.status == 405)
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "POST");
        if (reply.status == 503)
            MHD_add_response_header(response, MHD_HTTP_HEADER_RETRY_AFTER, QByteArray::number(kRetryAfterSeconds).constData());
        const MHD_Result queued = MHD_queue_response(connection, unsigned(reply.status), response);
        MHD_destroy_response(response);
        request.status = reply.status;
        request.rows = reply.rows;
        return queued;
    }

    // The request's line in the log, once it is over: answered, or the connection lost.
    static void completed(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
    {
        auto *request = static_cast<ReceiverServer::Request *>(*context);
        if (!request)
            return;
        ReceiverServer &self = server(cls);
        self.releaseBody(request->reserved);
        if (!request->method.isEmpty())
            --self.m_requestsRunning;
        else if (const MHD_ConnectionInfo *status = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS))
            request->status = int(status->http_status);
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        const QHostAddress client(info ? info->client_addr : nullptr);
        const quint16 port = portOf(info ? info->client_addr : nullptr);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - request->start).count();
        const QString line = QStringLiteral("%1 %2 port %3 %4 %5 table=%6 rows=%7 %8ms %9\n")
                                 .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs), client.toString())
                                 .arg(port)
                                 .arg(printable(QString::fromLatin1(request->method)),
                                      printable(QString::fromUtf8(request->path)), printable(request->table),
                                      request->rows < 0 ? QStringLiteral("-") : QString::number(request->rows))
                                 .arg(elapsed)
                                 .arg(request->status ? QString::number(request->status) : QStringLiteral("-"));
        std::fputs(line.toUtf8().constData(), stderr);
        delete request;
        *context = nullptr;
    }
};

ReceiverServer::ReceiverServer(ReceiverOptions options, InsertSettings settings)
    : m_options(std::move(options))
    , m_settings(std::move(settings))
{
}

ReceiverServer::~ReceiverServer()
{
    stop();
}

Outcome ReceiverServer::start()
{
    const bool tls = !m_options.tlsCertificate.isEmpty();
    if (tls) {
        QFile certificate(m_options.tlsCertificate);
        QFile key(m_options.tlsKey);
        if (certificate.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly)) {
            m_certificate = certificate.readAll();
            m_key = key.readAll();
        }
    }
    const QString unusableCertificate
        = QStringLiteral("証明書「%1」または鍵「%2」を読めません。").arg(m_options.tlsCertificate, m_options.tlsKey);
    if (tls && (m_certificate.isEmpty() || m_key.isEmpty()))
        return Failure{unusableCertificate};
    int port = m_options.listen.port;
    const QStringList hosts = hostsFor(m_options.listen.host);
    for (const QString &host : hosts) {
        const MHD_socket socket = listenOn(host, &port);
        // Without IPv6 the loopback is 127.0.0.1 alone, and "localhost" resolves to it.
        if (socket == MHD_INVALID_SOCKET && host == u"::1" && hosts.size() > 1 && !ipv6LoopbackAvailable())
            continue;
        if (socket == MHD_INVALID_SOCKET) {
            return Failure{QStringLiteral("%1 のポート %2 で待ち受けられません。ほかのプログラムが使っていないか確かめて下さい。")
                               .arg(host)
                               .arg(m_options.listen.port)};
        }
        const unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC
                               | (tls ? MHD_USE_TLS : 0);
        MHD_Daemon *daemon = MHD_start_daemon(
            flags, 0, nullptr, nullptr, &ServerCallbacks::handle, this, MHD_OPTION_LISTEN_SOCKET, socket,
            MHD_OPTION_CONNECTION_LIMIT, unsigned(m_options.workers), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
            unsigned(m_options.perClient), MHD_OPTION_CONNECTION_TIMEOUT, kSilenceSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
            kConnectionMemory, MHD_OPTION_NOTIFY_COMPLETED, &ServerCallbacks::completed, this, MHD_OPTION_NOTIFY_CONNECTION,
            &ServerCallbacks::connectionChanged, this, MHD_OPTION_URI_LOG_CALLBACK, &ServerCallbacks::requestStarted, nullptr,
            // Without TLS the list ends here.
            tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, m_certificate.constData(), MHD_OPTION_HTTPS_MEM_KEY,
            m_key.constData(), MHD_OPTION_END);
        if (!daemon) {
            closeSocket(socket);
            return Failure{tls ? unusableCertificate : QStringLiteral("HTTP サーバーを起動できません。")};
        }
        m_daemons.push_back(daemon);
        const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
        m_urls.append(QStringLiteral("%1://%2:%3%4")
                          .arg(tls ? QStringLiteral("https") : QStringLiteral("http"), shownHost)
                          .arg(port)
                          .arg(m_options.path));
    }
    m_watching = true;
    m_watcher = std::thread([this] { watchHeaderDeadlines(); });
    return {};
}

void ReceiverServer::watchHeaderDeadlines()
{
    std::unique_lock lock(m_connectionsMutex);
    while (!m_stopWatching.wait_for(lock, std::chrono::seconds(1), [this] { return !m_watching; })) {
        for (Connection *connection : m_connections) {
            // The connection's own thread notices and closes it.
            if (Clock::now() - connection->accepted > kHeaderDeadline)
                shutdown(connection->socket, 2);
        }
    }
}

bool ReceiverServer::reserveBody(qint64 bytes)
{
    qint64 reserved = m_bodiesReserved.load();
    do {
        if (reserved + bytes > m_options.bodyBudget)
            return false;
    } while (!m_bodiesReserved.compare_exchange_weak(reserved, reserved + bytes));
    return true;
}

void ReceiverServer::releaseBody(qint64 bytes)
{
    m_bodiesReserved -= bytes;
}

bool ReceiverServer::stop()
{
    if (m_daemons.empty())
        return true;
    for (MHD_Daemon *daemon : m_daemons) {
        const MHD_socket socket = MHD_quiesce_daemon(daemon);
        if (socket != MHD_INVALID_SOCKET)
            closeSocket(socket);
    }
    const auto waitForRequests = [this](Clock::duration limit) {
        const Clock::time_point until = Clock::now() + limit;
        while (m_requestsRunning > 0 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return m_requestsRunning == 0;
    };
    if (!waitForRequests(kStopGrace)) {
        m_rollingBack = true;
        if (!waitForRequests(kRollbackGrace))
            return false;
    }
    for (MHD_Daemon *daemon : m_daemons)
        MHD_stop_daemon(daemon);
    m_daemons.clear();
    {
        std::lock_guard lock(m_connectionsMutex);
        m_watching = false;
    }
    m_stopWatching.notify_all();
    m_watcher.join();
    return true;
}

} // namespace tessaly::receiver
