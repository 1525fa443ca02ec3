#include "app/ui/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>

const QString SingleInstance::serviceName = QStringLiteral("org.lark.Downloader");

namespace {

const QString objectPath = QStringLiteral("/org/lark/Downloader");

} // namespace

SingleInstance::SingleInstance(const QString &storageDirectory, QObject *parent) :
    QObject(parent),
    m_lock(QDir(storageDirectory).filePath(QStringLiteral("instance.lock")))
{
    // The history's directory, private to the user, as the manager makes it.
    if (QDir().mkpath(storageDirectory))
        QFile::setPermissions(storageDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Never stale by age: only when the process that took it is gone.
    m_lock.setStaleLockTime(0);
}

bool SingleInstance::claim()
{
    if (m_lock.tryLock(0))
        return true;
    if (m_lock.error() != QLockFile::LockFailedError) {
        // An unwritable storage directory is the manager's to report; it is no other launch.
        qWarning("Lark Downloader could not take its instance lock in %s.", qPrintable(m_lock.fileName()));
        return true;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(serviceName, objectPath, serviceName, QStringLiteral("Activate"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 1000);
    if (reply.type() == QDBusMessage::ErrorMessage)
        qWarning("Lark Downloader is already running.");
    return false;
}

void SingleInstance::publish(std::function<void()> activate)
{
    m_activate = std::move(activate);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    bus.registerService(serviceName);
}

void SingleInstance::Activate()
{
    if (m_activate)
        m_activate();
}
