#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A dbus-daemon of the test's own, made this process's session bus. It can
// start no service: whatever notification daemon or file manager the machine
// has installed stays out of the test.
class PrivateSessionBus {
public:
    ~PrivateSessionBus();
    // The bus address; empty if the daemon did not start. As the system bus,
    // it stands in for the machine's (logind's) instead.
    QString start(bool asSystemBus = false);

private:
    QTemporaryDir m_directory;
    QProcess m_daemon;
};

// The file manager's ShowItems, noting every call.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    bool publish(QDBusConnection bus);
    QList<QStringList> shown;

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &startupId);
};

// logind's Inhibit: each hold is a pipe whose other end tells when it is let go.
class FakeLogin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    ~FakeLogin() override;
    bool publish(QDBusConnection bus);
    QList<QStringList> asked;
    // How many holds given out are still held.
    int held() const;

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why, const QString &mode);

private:
    QList<int> m_ends;
};

// A desktop panel's tray as applications find it on the session bus: the
// StatusNotifierWatcher, with a host registered, noting the items that register.
class FakeTrayHost : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items)

public:
    bool publish(QDBusConnection bus);
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service);
    void RegisterStatusNotifierHost(const QString &service);

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString &service);
};

// An xdg-open in directory, put first on PATH, that notes what it was asked to open.
bool installRecordingOpener(const QString &directory);
QStringList openedByRecordingOpener(const QString &directory);
