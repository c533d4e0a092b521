#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

// A private MariaDB server in a temporary folder, reachable only through a socket there, with an
// empty database "tessaly" in UTF-8; up for the life of the object. Its user is named after the
// process's own and logs in through the socket, without a password.
class MariadbServer {
public:
    MariadbServer()
    {
        const QString install = QStandardPaths::findExecutable(u"mariadb-install-db"_qs);
        const QString server = QStandardPaths::findExecutable(u"mariadbd"_qs, {u"/usr/sbin"_qs, u"/usr/bin"_qs});
        if (install.isEmpty() || server.isEmpty()) {
            m_problem = QStringLiteral("MariaDB is not installed (no mariadb-install-db or mariadbd)");
            return;
        }
        m_user = QString::fromLocal8Bit(getpwuid(geteuid())->pw_name);
        QProcess setUp;
        setUp.setProcessChannelMode(QProcess::MergedChannels);
        setUp.start(install, {u"--no-defaults"_qs, u"--datadir="_qs + data(), u"--user="_qs + m_user,
                              u"--skip-test-db"_qs});
        if (!setUp.waitForFinished(120000) || setUp.exitCode() != 0) {
            m_problem = QStringLiteral("mariadb-install-db failed: ") + QString::fromLocal8Bit(setUp.readAll());
            return;
        }
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        m_server.start(server, {u"--no-defaults"_qs, u"--datadir="_qs + data(), u"--socket="_qs + socket(),
                                u"--skip-networking"_qs, u"--user="_qs + m_user, u"--pid-file="_qs + m_dir.filePath(u"pid"_qs),
                                u"--character-set-server=utf8mb4"_qs, u"--collation-server=utf8mb4_unicode_ci"_qs,
                                u"--innodb-buffer-pool-size=16M"_qs});
        // Up when the socket answers and the database exists.
        const bool up = QTest::qWaitFor([&] { return QFile::exists(socket()) && createDatabase(); }, 60000);
        if (!up)
            m_problem = QStringLiteral("mariadbd did not start: ") + QString::fromLocal8Bit(m_server.readAll());
    }
    ~MariadbServer()
    {
        m_server.terminate();
        m_server.waitForFinished(30000);
    }

    bool isRunning() const { return m_problem.isEmpty(); }
    QString problem() const { return m_problem; }
    QString connectOptions() const { return u"UNIX_SOCKET="_qs + socket(); }
    QString url() const { return u"mysql://%1@localhost/tessaly?UNIX_SOCKET=%2"_qs.arg(m_user, socket()); }
    QString user() const { return m_user; }

private:
    QString data() const { return m_dir.filePath(QStringLiteral("data")); }
    QString socket() const { return m_dir.filePath(QStringLiteral("socket")); }

    bool createDatabase()
    {
        QProcess client;
        client.start(u"mariadb"_qs, {u"--no-defaults"_qs, u"--socket="_qs + socket(), u"--user="_qs + m_user,
                                     u"--execute=CREATE DATABASE IF NOT EXISTS tessaly"_qs});
        return client.waitForFinished(30000) && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QProcess m_server;
    QString m_user;
    QString m_problem;
};
