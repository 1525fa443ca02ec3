#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>

// Asks logind, over the system bus, that the machine not suspend (by itself
// or when asked) while downloads run, and lets go when they end. The hold is
// a file descriptor logind gave: closing it ends the hold, so a crash lets go
// too. Without logind nothing is held and nothing fails.
class SleepInhibitor : public QObject {
    Q_OBJECT

public:
    explicit SleepInhibitor(QObject *parent = nullptr);
    explicit SleepInhibitor(QDBusConnection bus, QObject *parent = nullptr);

    void setWanted(bool wanted);
    bool isHeld() const { return m_hold.isValid(); }

private:
    QDBusConnection m_bus;
    QDBusUnixFileDescriptor m_hold;
    bool m_wanted = false;
    bool m_asking = false;
};
