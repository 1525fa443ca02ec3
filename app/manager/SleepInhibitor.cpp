#include "app/manager/SleepInhibitor.h"

#include "app/manager/DBusAnswer.h"

#include <QDBusMessage>
#include <QDBusReply>

SleepInhibitor::SleepInhibitor(QObject *parent) : SleepInhibitor(QDBusConnection::systemBus(), parent)
{}

SleepInhibitor::SleepInhibitor(QDBusConnection bus, QObject *parent) : QObject(parent), m_bus(std::move(bus))
{}

void SleepInhibitor::setWanted(bool wanted)
{
    m_wanted = wanted;
    if (!wanted) {
        m_hold = QDBusUnixFileDescriptor();
        return;
    }
    if (isHeld() || m_asking || !m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    // Idle suspend and a suspend asked for while a download runs; a shutdown
    // is the user's to decide, and pauses the downloads.
    call << QStringLiteral("sleep:idle") << QStringLiteral("Lark Downloader") << QStringLiteral("Downloads are running")
         << QStringLiteral("block");
    m_asking = true;
    whenAnswered(m_bus.asyncCall(call, 5000), this, [this](const QDBusPendingCall &answer) {
        m_asking = false;
        const QDBusReply<QDBusUnixFileDescriptor> reply(answer.reply());
        if (!reply.isValid())
            return;
        // The downloads may have ended while logind answered.
        if (m_wanted)
            m_hold = reply.value();
    });
}
