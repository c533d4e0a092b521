#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace tessaly::receiver {

struct ListenAddress {
    QString host; // "localhost" stands for both loopback addresses, 127.0.0.1 and ::1
    int port = 8080;
};

struct ReceiverOptions {
    ListenAddress listen{QStringLiteral("localhost"), 8080};
    QString path = QStringLiteral("/servlets/Insert");
    QString database = QStringLiteral("sqlite:tessaly.sqlite");
    bool createTables = false;
    bool emptyAsText = false;
    QString user;
    QByteArray password;
    QString tlsCertificate;
    QString tlsKey;
    qint64 maxBody = qint64(1) << 30;
    // All bodies being received at once: a quarter of the machine's memory unless told.
    qint64 bodyBudget = 0;
    int workers = 128; // connections served at once, per address
    int perClient = 32; // of which from one client address
    bool help = false;
};

// The command line's options (without the program's name). Fails when an option is unknown or
// incomplete, a file cannot be read, or credentials would cross a network in clear: --user beyond
// the loopback needs --tls-cert and --tls-key.
Result<ReceiverOptions> parseOptions(const QStringList &arguments);

// 127.0.0.0/8, ::1 and "localhost".
bool isLoopback(const QString &host);

// A quarter of the machine's memory, the default budget for bodies being received.
qint64 defaultBodyBudget();

} // namespace tessaly::receiver
