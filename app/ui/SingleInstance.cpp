#include "app/ui/SingleInstance.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>

const QString SingleInstance::serviceName = QStringLiteral("org.lark.Downloader");
const QString SingleInstance::objectPath = QStringLiteral("/org/lark/Downloader");

namespace {

// A file in the user's runtime directory named after a storage directory.
QString runtimeFile(const QString &storageDirectory, const QString &suffix)
{
    const QByteArray name = QFile::encodeName(QDir(storageDirectory).absolutePath());
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(
            QStringLiteral("lark-downloader-%1.%2")
                .arg(QString::fromLatin1(QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex().left(16)),
                     suffix));
}

QString standInLockPath(const QString &storageDirectory)
{
    return runtimeFile(storageDirectory, QStringLiteral("lock"));
}

// A request on the socket: one link a line, then an empty line; answered with "ok".
constexpr qsizetype largestRequest = 1 << 20;
constexpr int handOverMilliseconds = 5000;

} // namespace

QString SingleInstance::socketPath(const QString &storageDirectory)
{
    return runtimeFile(storageDirectory, QStringLiteral("socket"));
}

bool SingleInstance::handOver(const QString &socket, const QStringList &links)
{
    QLocalSocket connection;
    connection.connectToServer(socket);
    if (!connection.waitForConnected(handOverMilliseconds))
        return false;
    QByteArray request;
    for (const QString &link : links) {
        // A link never holds a line break; one that did would split into two.
        const QString line = link.simplified();
        if (!line.isEmpty())
            request += line.toUtf8() + '\n';
    }
    request += '\n';
    connection.write(request);
    if (!connection.waitForBytesWritten(handOverMilliseconds))
        return false;
    QByteArray answer;
    while (!answer.contains('\n') && connection.waitForReadyRead(handOverMilliseconds))
        answer += connection.readAll();
    return answer.startsWith("ok\n");
}

SingleInstance::SingleInstance(const QString &storageDirectory, QObject *parent) :
    QObject(parent),
    m_lock(QDir(storageDirectory).filePath(QStringLiteral("instance.lock"))),
    m_standIn(standInLockPath(storageDirectory)),
    m_socketPath(socketPath(storageDirectory))
{
    // The history's directory, private to the user, as the manager makes it.
    if (QDir().mkpath(storageDirectory))
        QFile::setPermissions(storageDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Never stale by age: only when the process that took it is gone.
    m_lock.setStaleLockTime(0);
    m_standIn.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Claim SingleInstance::claim(const QStringList &links)
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
    QDBusMessage call = QDBusMessage::createMethodCall(serviceName, objectPath, serviceName, QStringLiteral("Open"));
    call << links;
    // The copy that holds the lock may have started a moment ago and not
    // answer yet (two links from the browser in quick succession).
    const QDeadlineTimer patience(20000);
    do {
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 1000);
        if (reply.type() != QDBusMessage::ErrorMessage || handOver(m_socketPath, links))
            return Claim::heldElsewhere;
        QThread::msleep(100);
    } while (!patience.hasExpired());
    if (links.isEmpty())
        qWarning("Lark Downloader is already running.");
    else
        qWarning("Lark Downloader is already running but did not answer, so the links were not added to it.");
    return Claim::heldElsewhere;
}

void SingleInstance::publish(std::function<void(const QStringList &)> open)
{
    m_open = std::move(open);
    // The socket answers without a bus; only the lock's holder gets here, so a
    // socket file left by a killed launch is stale.
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(m_socketPath);
    if (m_server->listen(m_socketPath))
        connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::readRequest);
    else
        qWarning("Lark Downloader cannot answer later launches on %s: %s", qPrintable(m_socketPath),
                 qPrintable(m_server->errorString()));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    bus.registerService(serviceName);
}

void SingleInstance::readRequest()
{
    while (QLocalSocket *connection = m_server->nextPendingConnection()) {
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        auto buffer = std::make_shared<QByteArray>();
        connect(connection, &QLocalSocket::readyRead, this, [this, connection, buffer] {
            *buffer += connection->readAll();
            if (buffer->size() > largestRequest)
                return connection->abort();
            const qsizetype end = buffer->startsWith('\n') ? 0 : buffer->indexOf("\n\n");
            if (end < 0)
                return;
            QStringList links;
            for (const QByteArray &line : buffer->left(end).split('\n')) {
                if (!line.isEmpty())
                    links.append(QString::fromUtf8(line));
            }
            buffer->clear();
            connection->write("ok\n");
            connection->disconnectFromServer();
            Open(links);
        });
    }
}

void SingleInstance::Activate()
{
    Open({});
}

void SingleInstance::Open(const QStringList &links)
{
    if (m_open)
        m_open(links);
}
