#pragma once

#include <QProcess>
#include <QStringList>

// One run of tessaly-cli (TESSALY_CLI) in the current working directory.
struct CliRun {
    int exitCode = -1; // -1 when it crashed or did not finish
    QByteArray output;
    QByteArray errors;
};

inline CliRun runCli(const QStringList &arguments)
{
    QProcess cli;
    cli.start(QStringLiteral(TESSALY_CLI), arguments);
    if (!cli.waitForFinished(60000))
        return {};
    return {cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1, cli.readAllStandardOutput(),
            cli.readAllStandardError()};
}
