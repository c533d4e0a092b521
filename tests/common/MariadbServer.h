#pragma once

#include "tests/common/PrivateServer.h"

#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

// A private MariaDB server in a temporary folder, reachable only through a socket there, with an
// empty UTF-8 database "tessaly"; up for the life of the object. Its user is named after the
// process's own and logs in through the socket, without a password.
class MariadbServer : public PrivateServer {
public:
    MariadbServer()
        : m_user(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name))
    {
        const QString server = QStandardPaths::findExecutable(u"mariadbd"_qs, {u"/usr/sbin"_qs});
        if (server.isEmpty()
            || !client(u"mariadb-install-db"_qs, {u"--datadir="_qs + m_dir.filePath(u"data"_qs), u"--skip-test-db"_qs})) {
            m_problem = u"MariaDB is not installed, or mariadb-install-db failed: "_qs + m_problem;
            return;
        }
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(server, {u"--no-defaults"_qs, u"--datadir="_qs + m_dir.filePath(u"data"_qs), u"--user="_qs + m_user,
                                u"--socket="_qs + socket(), u"--skip-networking"_qs, u"--character-set-server=utf8mb4"_qs,
                                u"--collation-server=utf8mb4_unicode_ci"_qs, u"--innodb-buffer-pool-size=16M"_qs});
        // Up when the socket answers.
        const auto createDatabase = [&] {
            return QFile::exists(socket())
                   && client(u"mariadb"_qs, {u"--socket="_qs + socket(), u"--execute=CREATE DATABASE tessaly"_qs});
        };
        if (!QTest::qWaitFor(createDatabase, 60000))
            m_problem = u"mariadbd did not start: "_qs + QString::fromLocal8Bit(m_server.readAll());
    }
    ~MariadbServer()
    {
        m_server.terminate();
        m_server.waitForFinished(30000);
    }

    QString connectOptions() const { return u"UNIX_SOCKET="_qs + socket(); }
    QString url() const { return u"mysql://%1@localhost/tessaly?UNIX_SOCKET=%2"_qs.arg(m_user, socket()); }
    QString user() const { return m_user; }

private:
    QString socket() const { return m_dir.filePath(QStringLiteral("socket")); }

    // Runs MariaDB's set-up or its client on this server.
    bool client(const QString &tool, const QStringList &arguments)
    {
        return run(QStringList{tool, u"--no-defaults"_qs, u"--user="_qs + m_user} + arguments);
    }

    QString m_user;
    QProcess m_server;
};
