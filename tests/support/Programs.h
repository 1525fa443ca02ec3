#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <optional>

// Runs a program to its end and returns what it printed on standard output;
// nothing when it could not start, failed or took longer than timeoutMs.
inline std::optional<QByteArray> programOutput(const QString &program, const QStringList &arguments,
                                               int timeoutMs = 30000)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}
