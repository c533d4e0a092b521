#pragma once

#include <QProcess>
#include <QStringList>
#include <QTest>

// A servlet running on 127.0.0.1 for the life of the object: by default the stand-in
// (servlet_standin.py). It prints "PORT <n>" once it listens, then one line per request.
class ServletStandIn {
public:
    explicit ServletStandIn(const QStringList &command = {QStringLiteral("/usr/bin/python3"),
                                                          QStringLiteral(TESSALY_SERVLET_STANDIN)})
    {
        m_process.start(command.first(), command.mid(1));
        // Whole lines only: the first may arrive in pieces.
        while (m_port == 0 && m_process.waitForReadyRead(30000)) {
            while (m_port == 0 && m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith("PORT "))
                    m_port = line.mid(5).toInt();
            }
        }
    }
    ~ServletStandIn()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    bool isRunning() const { return m_port != 0; }
    int port() const { return m_port; }
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }

    // The lines for the requests received so far (the stand-in's: "METHOD path auth=yes|no").
    QStringList requests()
    {
        while (m_process.canReadLine())
            m_requests.append(QString::fromUtf8(m_process.readLine().trimmed()));
        return m_requests;
    }

private:
    QProcess m_process;
    int m_port = 0;
    QStringList m_requests;
};
