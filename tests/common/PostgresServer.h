#pragma once

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// A private PostgreSQL server in a temporary folder, on 127.0.0.1, for the life of the object.
// Its superuser "tessaly" needs no password. As root the server runs as "nobody": initdb refuses root.
class PostgresServer {
public:
    PostgresServer()
    {
        const QStringList bins = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &version : bins) {
            if (QFile::exists(QStringLiteral("/usr/lib/postgresql/%1/bin/initdb").arg(version)))
                m_bin = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(version);
        }
        if (m_bin.isEmpty()) {
            m_problem = QStringLiteral("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb)");
            return;
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        m_port = probe.serverPort();
        probe.close();
#ifdef Q_OS_UNIX
        if (geteuid() == 0) {
            m_asUser = {QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--")};
            QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("nobody"), m_dir.path()});
        }
#endif
        const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off").arg(m_port).arg(m_dir.path());
        if (!run(QStringLiteral("initdb"), {QStringLiteral("-D"), data(), QStringLiteral("--auth=trust"), QStringLiteral("-U"),
                                            QStringLiteral("tessaly"), QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-locale")})
            || !run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data(), QStringLiteral("-o"), options, QStringLiteral("-l"),
                                              m_dir.filePath(QStringLiteral("log")), QStringLiteral("-w"), QStringLiteral("start")}))
            return;
        m_running = true;
    }
    ~PostgresServer()
    {
        if (m_running)
            run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data(), QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")});
    }
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    bool isRunning() const { return m_running; }
    QString problem() const { return m_problem; }
    int port() const { return m_port; }
    QString url() const { return QStringLiteral("postgresql://tessaly@127.0.0.1:%1/postgres").arg(m_port); }

private:
    QString data() const { return m_dir.filePath(QStringLiteral("data")); }

    bool run(const QString &tool, const QStringList &arguments)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (m_asUser.isEmpty())
            process.start(m_bin + tool, arguments);
        else
            process.start(m_asUser.first(), m_asUser.mid(1) + QStringList{m_bin + tool} + arguments);
        const bool ok = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!ok)
            m_problem = tool + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll());
        return ok;
    }

    QTemporaryDir m_dir;
    QString m_bin;
    QStringList m_asUser;
    QString m_problem;
    int m_port = 0;
    bool m_running = false;
};
