#include "tests/support/ClipServer.h"

#include <QJsonDocument>

ClipServer::~ClipServer()
{
    m_process.kill();
    m_process.waitForFinished();
}

QString ClipServer::start(const QString &directory, int bytesPerSecond)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("node"),
                    {QStringLiteral(LARK_CLIP_SERVER_SCRIPT), directory, QString::number(bytesPerSecond)});
    if (!m_process.waitForStarted() || !m_process.waitForReadyRead(10000))
        return {};
    m_base =
        QStringLiteral("http://127.0.0.1:") + QString::fromLatin1(m_process.readAll().trimmed().split(' ').value(1));
    return m_base;
}

QJsonArray ClipServer::log() const
{
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), m_base + QStringLiteral("/_log")});
    curl.waitForFinished();
    return QJsonDocument::fromJson(curl.readAll()).array();
}
