#pragma once

#include "receiver/InsertService.h"
#include "receiver/ReceiverOptions.h"

#include <QStringList>

#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace httplib {
class ContentReader;
struct Request;
struct Response;
class Server;
} // namespace httplib

namespace tessaly::receiver {

// The HTTP side: one listening server per address, each with its own pool of workers. A request
// is answered on its connection and the connection closed, so that an unread body can never be
// taken for the next request.
class ReceiverServer {
public:
    ReceiverServer(ReceiverOptions options, InsertSettings settings);
    ~ReceiverServer();
    ReceiverServer(const ReceiverServer &) = delete;
    ReceiverServer &operator=(const ReceiverServer &) = delete;

    // Binds every address; false and a Japanese *error when one cannot be bound.
    bool bind(QString *error);
    // The URLs that reach the receiver, for the start-up message.
    const QStringList &urls() const { return m_urls; }
    void start();
    void stop();

private:
    std::unique_ptr<httplib::Server> makeServer(QString *error) const;
    void handle(const httplib::Request &request, httplib::Response &response, const httplib::ContentReader &reader) const;
    std::optional<Answer> refusalBeforeBody(const httplib::Request &request) const;
    bool authorized(const httplib::Request &request) const;
    void answer(httplib::Response &response, const Answer &answer) const;

    ReceiverOptions m_options;
    InsertSettings m_settings;
    std::vector<std::unique_ptr<httplib::Server>> m_servers;
    std::vector<std::thread> m_threads;
    QStringList m_urls;
};

} // namespace tessaly::receiver
