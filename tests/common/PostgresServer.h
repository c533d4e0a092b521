#pragma once

#include "tests/common/PrivateServer.h"

#include <QDir>
#include <QTcpServer>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// A private PostgreSQL server in a temporary folder on 127.0.0.1, up (pg_ctl waits) for the life of
// the object. Its superuser "tessaly" needs no password. As root it runs as "nobody": initdb refuses root.
class PostgresServer : public PrivateServer {
public:
    PostgresServer()
    {
        const QDir installed(QStringLiteral("/usr/lib/postgresql"));
        for (const QString &version : installed.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
            if (QFile::exists(installed.filePath(version + u"/bin/initdb"_qs)))
                m_bin = installed.filePath(version + u"/bin/"_qs);
        }
        if (m_bin.isEmpty()) {
            m_problem = QStringLiteral("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb)");
            return;
        }
        QTcpServer probe; // a port that was free a moment ago
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
#ifdef Q_OS_UNIX
        if (geteuid() == 0) {
            m_asUser = {u"runuser"_qs, u"-u"_qs, u"nobody"_qs, u"--"_qs};
            QProcess::execute(u"chown"_qs, {u"-R"_qs, u"nobody"_qs, m_dir.path()});
        }
#endif
        const QString options = u"-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off"_qs.arg(m_port).arg(m_dir.path());
        if (tool({u"initdb"_qs, u"-D"_qs, data(), u"--auth=trust"_qs, u"-U"_qs, u"tessaly"_qs, u"-E"_qs, u"UTF8"_qs,
                  u"--no-locale"_qs}))
            tool({u"pg_ctl"_qs, u"-D"_qs, data(), u"-o"_qs, options, u"-l"_qs, m_dir.filePath(u"log"_qs), u"start"_qs});
    }
    ~PostgresServer()
    {
        if (isRunning())
            tool({u"pg_ctl"_qs, u"-D"_qs, data(), u"-m"_qs, u"immediate"_qs, u"stop"_qs});
    }

    QString connectOptions() const
    {
        return QStringLiteral("host=127.0.0.1;port=%1;user=tessaly").arg(m_port);
    }
    QString url() const
    {
        return QStringLiteral("postgresql://tessaly@127.0.0.1:%1/postgres").arg(m_port);
    }
    // The database through unixODBC and Debian's PostgreSQL ODBC driver, without a DSN.
    QString odbcUrl(const QString &database) const
    {
        return QStringLiteral("odbc:DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=%1;DATABASE=%2;UID=tessaly")
            .arg(m_port)
            .arg(database);
    }

private:
    QString data() const
    {
        return m_dir.filePath(QStringLiteral("data"));
    }

    // Runs one of the server's tools, as m_asUser where set.
    bool tool(QStringList command)
    {
        command.first().prepend(m_bin);
        return run(m_asUser + command);
    }

    QString m_bin;
    QStringList m_asUser;
    int m_port = 0;
};
