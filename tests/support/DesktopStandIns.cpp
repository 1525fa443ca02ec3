#include "tests/support/DesktopStandIns.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

PrivateSessionBus::~PrivateSessionBus()
{
    m_daemon.kill();
    m_daemon.waitForFinished();
}

QString PrivateSessionBus::start(bool asSystemBus)
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
    qputenv(asSystemBus ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS", address);
    return QString::fromUtf8(address);
}

FakeLogin::~FakeLogin()
{
    for (int end : std::as_const(m_ends))
        ::close(end);
}

bool FakeLogin::publish(QDBusConnection bus)
{
    return bus.registerObject(QStringLiteral("/org/freedesktop/login1"), this, QDBusConnection::ExportAllSlots) &&
           bus.registerService(QStringLiteral("org.freedesktop.login1"));
}

QDBusUnixFileDescriptor FakeLogin::Inhibit(const QString &what, const QString &who, const QString &why,
                                           const QString &mode)
{
    asked.append({what, who, why, mode});
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    m_ends.append(ends[0]);
    QDBusUnixFileDescriptor hold(ends[1]); // a copy goes to the caller
    ::close(ends[1]);
    return hold;
}

int FakeLogin::held() const
{
    int count = 0;
    for (int end : m_ends) {
        // The read end sees the end of the file once every copy of the write end is closed.
        pollfd watched{end, POLLIN, 0};
        const bool released = ::poll(&watched, 1, 0) == 1 && (watched.revents & POLLHUP);
        count += released ? 0 : 1;
    }
    return count;
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

bool FakeTrayHost::publish(QDBusConnection bus)
{
    return bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                              QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                  QDBusConnection::ExportAllSignals) &&
           bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

void FakeTrayHost::RegisterStatusNotifierItem(const QString &service)
{
    items.append(service);
    Q_EMIT StatusNotifierItemRegistered(service);
}

void FakeTrayHost::RegisterStatusNotifierHost(const QString &)
{}

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
