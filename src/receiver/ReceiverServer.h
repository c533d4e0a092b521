#pragma once

#include "receiver/InsertService.h"
#include "receiver/ReceiverOptions.h"

#include <QByteArray>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

struct MHD_Daemon;

namespace tessaly::receiver {

// The HTTP side, on libmicrohttpd: one server per address, each connection on a thread of its
// own, as many connections as --workers and from one client address as many as --per-client.
// A request is answered on its connection and the connection closed, so that an unread body can
// never be taken for the next request.
class ReceiverServer {
public:
    ReceiverServer(ReceiverOptions options, InsertSettings settings);
    ~ReceiverServer();
    ReceiverServer(const ReceiverServer &) = delete;
    ReceiverServer &operator=(const ReceiverServer &) = delete;

    // Listens on every address and serves; fails when an address cannot be bound (also when
    // another program listens on it) or the certificate cannot be used.
    Outcome start();
    // The URLs that reach the receiver, for the start-up message.
    const QStringList &urls() const { return m_urls; }
    // Stops accepting. Requests in progress get a few seconds to finish and are then asked to roll
    // back. False when some are still running: the caller ends the process, which rolls back their
    // transactions.
    bool stop();

private:
    friend struct ServerCallbacks;
    struct Connection;
    struct Request;

    bool reserveBody(qint64 bytes);
    void releaseBody(qint64 bytes);
    void watchHeaderDeadlines();

    ReceiverOptions m_options;
    InsertSettings m_settings;
    QByteArray m_certificate;
    QByteArray m_key;
    std::vector<MHD_Daemon *> m_daemons;
    QStringList m_urls;

    std::atomic<qint64> m_bodiesReserved = 0;
    std::atomic<int> m_requestsRunning = 0;
    std::atomic<bool> m_rollingBack = false;

    // Connections still sending their header, for the deadline on the whole header.
    std::mutex m_connectionsMutex;
    std::condition_variable m_stopWatching;
    bool m_watching = false;
    std::set<Connection *> m_connections;
    std::thread m_watcher;
};

} // namespace tessaly::receiver
