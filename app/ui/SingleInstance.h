#pragma once

#include <QLockFile>
#include <QObject>

#include <functional>

// One manager per history: a lock in the storage directory keeps a second
// launch from loading the same queue, with or without a session bus, and a
// well-known name on the bus lets that launch bring the first window forward.
// Where the storage directory cannot hold a lock (read-only, or no directory
// at all), a lock named after it in the user's runtime directory stands in.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.lark.Downloader")

public:
    static const QString serviceName;

    explicit SingleInstance(const QString &storageDirectory, QObject *parent = nullptr);

    enum class Claim { taken, heldElsewhere, impossible };
    // Takes the lock, or, when another launch holds it, asks that one to come
    // forward. A lock left by a killed launch is taken over. Impossible when
    // neither lock can be taken: then no one can tell whether another copy
    // uses the same history, and the launch must not go on.
    Claim claim();
    // Answers the next launches' requests on the session bus, when there is one.
    void publish(std::function<void()> activate);

public Q_SLOTS:
    Q_SCRIPTABLE void Activate();

private:
    QLockFile m_lock;
    QLockFile m_standIn;
    std::function<void()> m_activate;
};
