#include "receiver/ReceiverServer.h"

#include "core/document/DocumentEncoding.h"

#include <QDateTime>
#include <QHostAddress>
#include <QTcpServer>

#include <httplib.h>

#include <chrono>
#include <cstdio>
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
constexpr time_t kSilenceSeconds = 20;

// What the log line of the request being handled on this thread needs.
struct RequestLog {
    std::optional<Clock::time_point> start;
    QString table;
    qsizetype rows = -1;
};
thread_local RequestLog currentLog;

void noteStart()
{
    if (!currentLog.start)
        currentLog.start = Clock::now();
}

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

void writeLogLine(const httplib::Request &request, const httplib::Response &response)
{
    const QString elapsed = currentLog.start ? QString::number(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                   Clock::now() - *currentLog.start)
                                                                   .count())
                                             : QStringLiteral("-");
    const QString line = QStringLiteral("%1 %2 port %3 %4 %5 table=%6 rows=%7 %8ms %9\n")
                             .arg(QDateTime::currentDateTime().toString(Qt::ISODateWithMs),
                                  QString::fromStdString(request.remote_addr))
                             .arg(request.remote_port)
                             .arg(printable(QString::fromStdString(request.method)), printable(QString::fromStdString(request.path)),
                                  printable(currentLog.table),
                                  currentLog.rows < 0 ? QStringLiteral("-") : QString::number(currentLog.rows), elapsed)
                             .arg(response.status);
    std::fputs(line.toUtf8().constData(), stderr);
    currentLog = {};
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

bool ipv6LoopbackAvailable()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6, 0);
}

} // namespace

ReceiverServer::ReceiverServer(ReceiverOptions options, InsertSettings settings)
    : m_options(std::move(options))
    , m_settings(std::move(settings))
{
}

ReceiverServer::~ReceiverServer()
{
    stop();
}

std::unique_ptr<httplib::Server> ReceiverServer::makeServer(QString *error) const
{
    std::unique_ptr<httplib::Server> server;
    if (m_options.tlsCertificate.isEmpty()) {
        server = std::make_unique<httplib::Server>();
    } else {
        server = std::make_unique<httplib::SSLServer>(m_options.tlsCertificate.toLocal8Bit().constData(),
                                                      m_options.tlsKey.toLocal8Bit().constData());
        if (!server->is_valid()) {
            *error = QStringLiteral("証明書「%1」または鍵「%2」を読めません。").arg(m_options.tlsCertificate, m_options.tlsKey);
            return nullptr;
        }
    }
    server->set_keep_alive_max_count(1);
    server->set_read_timeout(kSilenceSeconds);
    server->set_write_timeout(kSilenceSeconds);
    server->set_pre_routing_handler([](const httplib::Request &, httplib::Response &) {
        noteStart();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // A client that waits for "100 Continue" learns of a refusal before it sends the body.
    server->set_expect_100_continue_handler([this](const httplib::Request &request, httplib::Response &response) {
        noteStart();
        const std::optional<Answer> refusal = refusalBeforeBody(request);
        if (!refusal)
            return 100;
        answer(response, *refusal);
        return refusal->status;
    });
    server->Post(".*", [this](const httplib::Request &request, httplib::Response &response, const httplib::ContentReader &reader) {
        handle(request, response, reader);
    });
    server->Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
        if (request.path == m_options.path.toStdString()) {
            response.set_header("Allow", "POST");
            answer(response, {405, QStringLiteral("挿入の要求は POST で送って下さい。")});
        } else {
            answer(response, *refusalBeforeBody(request));
        }
    });
    server->set_exception_handler([this](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
        answer(response, {500, QStringLiteral("受信側で予期しないエラーが起きたため、挿入しませんでした。")});
    });
    server->set_logger(writeLogLine);
    return server;
}

bool ReceiverServer::bind(QString *error)
{
    int port = m_options.listen.port;
    const QStringList hosts = hostsFor(m_options.listen.host);
    for (const QString &host : hosts) {
        std::unique_ptr<httplib::Server> server = makeServer(error);
        if (!server)
            return false;
        const std::string address = host.toStdString();
        const bool bound = port == 0 ? (port = server->bind_to_any_port(address)) > 0 : server->bind_to_port(address, port);
        // Without IPv6 the loopback is 127.0.0.1 alone, and "localhost" resolves to it.
        if (!bound && host == u"::1" && hosts.size() > 1 && !ipv6LoopbackAvailable())
            continue;
        if (!bound) {
            *error = QStringLiteral("%1 のポート %2 で待ち受けられません。ほかのプログラムが使っていないか確かめて下さい。")
                         .arg(host)
                         .arg(m_options.listen.port);
            return false;
        }
        const QString shownHost = host.contains(u':') ? u'[' + host + u']' : host;
        m_urls.append(QStringLiteral("%1://%2:%3%4")
                          .arg(m_options.tlsCertificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"), shownHost)
                          .arg(port)
                          .arg(m_options.path));
        m_servers.push_back(std::move(server));
    }
    return true;
}

void ReceiverServer::start()
{
    for (const std::unique_ptr<httplib::Server> &server : m_servers)
        m_threads.emplace_back([&server] { server->listen_after_bind(); });
}

void ReceiverServer::stop()
{
    for (const std::unique_ptr<httplib::Server> &server : m_servers)
        server->stop();
    for (std::thread &thread : m_threads)
        thread.join();
    m_threads.clear();
}

bool ReceiverServer::authorized(const httplib::Request &request) const
{
    if (m_options.user.isEmpty())
        return true;
    const QByteArray header = QByteArray::fromStdString(request.get_header_value("Authorization")).trimmed();
    if (!header.startsWith("Basic "))
        return false;
    const QByteArray::FromBase64Result credentials =
        QByteArray::fromBase64Encoding(header.mid(6).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return credentials && sameBytes(*credentials, m_options.user.toUtf8() + ':' + m_options.password);
}

std::optional<Answer> ReceiverServer::refusalBeforeBody(const httplib::Request &request) const
{
    if (request.path != m_options.path.toStdString()) {
        return Answer{404, QStringLiteral("ここでは何も受け付けていません。挿入の要求は %1 に送って下さい。").arg(m_options.path)};
    }
    if (!authorized(request))
        return Answer{401, QStringLiteral("ユーザー名またはパスワードが正しくありません。")};
    const bool chunked = request.get_header_value("Transfer-Encoding").find("chunked") != std::string::npos;
    if (!request.has_header("Content-Length") && !chunked)
        return Answer{411, QStringLiteral("Content-Length のない要求は受け付けません。")};
    bool lengthKnown = false;
    const qint64 length = QByteArray::fromStdString(request.get_header_value("Content-Length")).toLongLong(&lengthKnown);
    if (lengthKnown && length > m_options.maxBody)
        return Answer{413, QStringLiteral("本文が上限の %1 バイトを超えています。").arg(m_options.maxBody)};
    const QString contentType = QString::fromStdString(request.get_header_value("Content-Type"));
    if (contentType.section(u';', 0, 0).trimmed().compare(u"application/x-www-form-urlencoded", Qt::CaseInsensitive) != 0) {
        return Answer{400, QStringLiteral("本文は application/x-www-form-urlencoded の形で送って下さい（Content-Type「%1」は受け付けません）。")
                               .arg(contentType)};
    }
    return std::nullopt;
}

void ReceiverServer::handle(const httplib::Request &request, httplib::Response &response, const httplib::ContentReader &reader) const
{
    std::optional<Answer> result = refusalBeforeBody(request);
    std::optional<FormReader> form;
    if (!result) {
        const qint64 length = QByteArray::fromStdString(request.get_header_value("Content-Length")).toLongLong();
        form.emplace(contentTypeCharset(QString::fromStdString(request.get_header_value("Content-Type"))),
                     std::min(length, m_options.maxBody));
    }
    // A refused body is read and dropped for a while; past the limit, the rest of it too.
    qint64 received = 0;
    bool tooLarge = false;
    Clock::time_point droppingSince = Clock::now();
    const bool whole = result && result->status == 411 ? true : reader([&](const char *data, size_t size) {
        received += qint64(size);
        if (form && received > m_options.maxBody) {
            form.reset();
            tooLarge = true;
            droppingSince = Clock::now();
        }
        if (form)
            form->feed(data, qsizetype(size));
        return form || Clock::now() - droppingSince < kDrainTime;
    });
    if (tooLarge)
        result = Answer{413, QStringLiteral("本文が上限の %1 バイトを超えています。").arg(m_options.maxBody)};
    if (!result && !whole)
        result = Answer{400, QStringLiteral("本文を最後まで受け取れませんでした。")};
    if (!result) {
        QString error;
        std::optional<InsertForm> fields = form->finish(&error);
        form.reset();
        if (fields) {
            currentLog.table = fields->tableName;
            result = insertForm(std::move(*fields), m_settings, [] { return true; });
        } else {
            result = Answer{400, error};
        }
    }
    answer(response, *result);
#ifdef __GLIBC__
    // Each worker allocates from its own arena; give a large request's memory back at once
    // instead of letting every worker keep its peak.
    malloc_trim(0);
#endif
}

void ReceiverServer::answer(httplib::Response &response, const Answer &reply) const
{
    response.status = reply.status;
    if (reply.status == 401)
        response.set_header("WWW-Authenticate", "Basic realm=\"tessaly-receiver\", charset=\"UTF-8\"");
    QString line = reply.text;
    line.replace(u'\r', u' ').replace(u'\n', u' ');
    response.set_content(line.toStdString(), "text/plain; charset=UTF-8");
    currentLog.rows = reply.rows;
}

} // namespace tessaly::receiver
