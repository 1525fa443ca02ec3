#pragma once

#include <QLockFile>
#include <QObject>
#include <QStringList>

#include <functional>

class QLocalServer;

// One manager per history: a lock in the storage directory keeps a second
// launch from loading the same queue, with or without a session bus. The
// launch that holds it answers the next ones on the session bus (a
// well-known name) and on a local socket in the user's runtime directory, so
// a later launch, or the browser's helper, can bring the window forward and
// hand it links where there is no bus. Where the storage directory cannot
// hold a lock (read-only, or no directory at all), a lock named after it in
// the runtime directory stands in.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.lark.Downloader")

public:
    static const QString serviceName;
    static const QString objectPath;

    explicit SingleInstance(const QString &storageDirectory, QObject *parent = nullptr);
    ~SingleInstance() override;

    enum class Claim { taken, heldElsewhere, impossible };
    // Takes the lock, or, when another launch holds it, asks that one to come
    // forward with these links. A lock left by a killed launch is taken over.
    // Impossible when neither lock can be taken: then no one can tell whether
    // another copy uses the same history, and the launch must not go on.
    Claim claim(const QStringList &links = {});
    // Answers the next launches' requests: links (maybe none) to add, after
    // which the window comes forward.
    void publish(std::function<void(const QStringList &)> open);
    // The local socket a running copy answers on, for this storage directory.
    static QString socketPath(const QString &storageDirectory);
    // Hands links to a running copy over its local socket; false when none answers.
    static bool handOver(const QString &socket, const QStringList &links);

public Q_SLOTS:
    Q_SCRIPTABLE void Activate();
    Q_SCRIPTABLE void Open(const QStringList &links);

private:
    void readRequest();

    QLockFile m_lock;
    QLockFile m_standIn;
    QString m_socketPath;
    QLocalServer *m_server = nullptr;
    std::function<void(const QStringList &)> m_open;
};
