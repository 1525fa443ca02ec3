#include "app/ui/SingleInstance.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

const QString SingleInstance::serviceName = QStringLiteral("org.lark.Downloader");

namespace {

const QString objectPath = QStringLiteral("/org/lark/Downloader");

// The stand-in lock for a storage directory, in the user's runtime directory.
QString standInLockPath(const QString &storageDirectory)
{
    const QByteArray name = QFile::encodeName(QDir(storageDirectory).absolutePath());
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(
            QStringLiteral("lark-downloader-%1.lock")
                .arg(QString::fromLatin1(QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex().left(16))));
}

} // namespace

SingleInstance::SingleInstance(const QString &storageDirectory, QObject *parent) :
    QObject(parent),
    m_lock(QDir(storageDirectory).filePath(QStringLiteral("instance.lock"))),
    m_standIn(standInLockPath(storageDirectory))
{
    // The history's directory, private to the user, as the manager makes it.
    if (QDir().mkpath(storageDirectory))
        QFile::setPermissions(storageDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Never stale by age: only when the process that took it is gone.
    m_lock.setStaleLockTime(0);
    m_standIn.setStaleLockTime(0);
}

SingleInstance::Claim SingleInstance::claim()
{
    if (m_lock.tryLock(0))
        return Claim::taken;
    if (m_lock.error() != QLockFile::LockFailedError) {
        // The storage directory cannot hold the lock: the stand-in decides.
        if (m_standIn.tryLock(0)) {
            qWarning("Lark Downloader could not take its instance lock in %s, and holds %s instead.",
                     qPrintable(m_lock.fileName()), qPrintable(m_standIn.fileName()));
            return Claim::taken;
        }
        if (m_standIn.error() != QLockFile::LockFailedError) {
            qWarning("Lark Downloader cannot start: it could not take its instance lock in %s nor in %s, so it "
                     "cannot be sure that no other copy uses the same history.",
                     qPrintable(m_lock.fileName()), qPrintable(m_standIn.fileName()));
            return Claim::impossible;
        }
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(serviceName, objectPath, serviceName, QStringLiteral("Activate"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 1000);
    if (reply.type() == QDBusMessage::ErrorMessage)
        qWarning("Lark Downloader is already running.");
    return Claim::heldElsewhere;
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
