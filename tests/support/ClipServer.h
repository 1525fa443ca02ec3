#pragma once

#include <QJsonArray>
#include <QProcess>
#include <QString>

// A local HTTP server for test clips (tests/support/clip-server.mjs),
// optionally slowed down so a download can be paused midway.
class ClipServer {
public:
    ~ClipServer();
    // The server's base address, or empty when it did not start.
    QString start(const QString &directory, int bytesPerSecond);
    // The Range header of every request it served.
    QJsonArray log() const;

private:
    QProcess m_process;
    QString m_base;
};
