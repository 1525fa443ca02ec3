#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// The local MEGA emulator (a Node.js HTTPS server on 127.0.0.1) with a
// throwaway CA. start() also points this process's environment at it, so the
// real lark-mega started from a test talks to it.
class MegaEmulator {
public:
    MegaEmulator();
    ~MegaEmulator();

    // Empty on success, otherwise what went wrong.
    QString start();

    QString apiUrl() const { return m_apiUrl; }
    QString caFile() const;

    // {handle, key, link} of a file whose plaintext is read from path.
    QJsonObject addFile(const QString &path, const QString &name);
    // {handle, key, link, handles, keys} of a share; see the emulator for the node fields.
    QJsonObject addShare(const QJsonArray &nodes, const QJsonArray &raw = {});
    // {handle, key, link} of a share of folders and files made by the emulator, too large to send.
    QJsonObject addGeneratedShare(int folders, int files, qint64 fileSize);
    void setFaults(const QJsonObject &faults);
    // Caps each storage answer at bytesPerSecond (0: no cap) after latencyMs.
    // Each storage answer at bytesPerSecond after latencyMs; one connection at slowBytesPerSecond when given.
    void setShape(qint64 bytesPerSecond, int latencyMs, qint64 slowBytesPerSecond = 0);
    void reset();
    QJsonArray requestLog();

private:
    QJsonValue control(const QString &path, const QJsonObject &body);

    QTemporaryDir m_directory;
    std::unique_ptr<QProcess> m_process;
    QString m_apiUrl;
};

// Runs the real lark-mega with arguments and optional standard input; waits
// for it to end.
struct ToolRun {
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray output;
    QStringList lines() const;
};
ToolRun runTool(const QStringList &arguments, const QByteArray &input = {}, int timeoutMs = 120000);
QString toolPath();
