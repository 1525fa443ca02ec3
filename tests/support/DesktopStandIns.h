#pragma once

#include <QDBusConnection>
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
    // The bus address; empty if the daemon did not start.
    QString start();

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

// An xdg-open in directory, put first on PATH, that notes what it was asked to open.
bool installRecordingOpener(const QString &directory);
QStringList openedByRecordingOpener(const QString &directory);
