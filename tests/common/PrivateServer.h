#pragma once

#include <QProcess>
#include <QTemporaryDir>

// A database server of the test's own in a temporary folder; problem() says why it is not running.
class PrivateServer {
public:
    bool isRunning() const { return m_problem.isEmpty(); }
    QString problem() const { return m_problem; }

protected:
    // Runs one of the server's programs; when it fails, its command line and output are the problem.
    bool run(const QStringList &command)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(command.first(), command.mid(1));
        const bool ok = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        m_problem = ok ? QString() : command.join(u' ') + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll());
        return ok;
    }

    QTemporaryDir m_dir;
    QString m_problem;
};
