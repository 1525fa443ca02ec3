#pragma once

#include <QLockFile>
#include <QObject>

#include <functional>

// One manager per history: a lock in the storage directory keeps a second
// launch from loading the same queue, with or without a session bus, and a
// well-known name on the bus lets that launch bring the first window forward.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.lark.Downloader")

public:
    static const QString serviceName;

    explicit SingleInstance(const QString &storageDirectory, QObject *parent = nullptr);

    // Takes the lock, or, when another launch holds it, asks that one to come
    // forward and answers false. A lock left by a killed launch is taken over.
    bool claim();
    // Answers the next launches' requests on the session bus, when there is one.
    void publish(std::function<void()> activate);

public Q_SLOTS:
    Q_SCRIPTABLE void Activate();

private:
    QLockFile m_lock;
    std::function<void()> m_activate;
};
