#include "tests/support/DesktopStandIns.h"

#include <QFile>

PrivateSessionBus::~PrivateSessionBus()
{
    m_daemon.kill();
    m_daemon.waitForFinished();
}

QString PrivateSessionBus::start()
{
    // The system's session configuration would make every installed service activatable.
    QFile config(m_directory.filePath(QStringLiteral("session.conf")));
    if (!config.open(QIODevice::WriteOnly))
        return {};
    config.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    config.close();
    m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                   QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted() || !m_daemon.waitForReadyRead(10000))
        return {};
    const QByteArray address = m_daemon.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    return QString::fromUtf8(address);
}

bool FakeFileManager::publish(QDBusConnection bus)
{
    return bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), this, QDBusConnection::ExportAllSlots) &&
           bus.registerService(QStringLiteral("org.freedesktop.FileManager1"));
}

void FakeFileManager::ShowItems(const QStringList &uris, const QString &)
{
    shown.append(uris);
}

bool installRecordingOpener(const QString &directory)
{
    QFile opener(directory + QStringLiteral("/xdg-open"));
    if (!opener.open(QIODevice::WriteOnly))
        return false;
    opener.write("#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
    opener.close();
    qputenv("PATH", QFile::encodeName(directory) + ":" + qgetenv("PATH"));
    return opener.setPermissions(opener.permissions() | QFile::ExeOwner);
}

QStringList openedByRecordingOpener(const QString &directory)
{
    QFile file(directory + QStringLiteral("/opened"));
    return file.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
               : QStringList();
}
