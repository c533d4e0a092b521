#pragma once

#include <QProcess>
#include <QStringList>
#include <QTest>

// The servlet stand-in (servlet_standin.py) running on 127.0.0.1 for the life of the object.
class ServletStandIn {
public:
    ServletStandIn()
    {
        m_process.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TESSALY_SERVLET_STANDIN)});
        while (m_port == 0 && m_process.waitForReadyRead(10000)) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("PORT "))
                m_port = line.mid(5).toInt();
        }
    }
    ~ServletStandIn()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    ServletStandIn(const ServletStandIn &) = delete;
    ServletStandIn &operator=(const ServletStandIn &) = delete;

    bool isRunning() const { return m_port != 0; }
    int port() const { return m_port; }
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }

    // The requests received so far, one "METHOD path auth=yes|no" line each.
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
