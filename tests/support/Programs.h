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

// The picture of a video as a checksum of its packets: the tags written into
// a saved video change its container, never its picture.
inline QByteArray picture(const QString &path)
{
    return programOutput(QStringLiteral("ffmpeg"),
                         {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                          QStringLiteral("-map"), QStringLiteral("0:v"), QStringLiteral("-c"), QStringLiteral("copy"),
                          QStringLiteral("-f"), QStringLiteral("md5"), QStringLiteral("-")})
        .value_or("<unreadable: " + path.toUtf8() + ">");
}
