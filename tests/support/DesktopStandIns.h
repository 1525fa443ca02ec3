#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QStringList>

// A dbus-daemon of the test's own, made this process's session bus.
class PrivateSessionBus {
public:
    ~PrivateSessionBus();
    // The bus address; empty if the daemon did not start.
    QString start();

private:
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
