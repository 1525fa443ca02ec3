#include "app/notifications/DownloadNotifications.h"

#include "app/manager/DBusAnswer.h"
#include "app/manager/FileManager.h"
#include "app/notifications/CompletionBanners.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDir>
#include <QGuiApplication>
#include <QVariantMap>

#include <utility>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
constexpr int busTimeoutMs = 3000;

QDBusMessage call(const QString &method)
{
    return QDBusMessage::createMethodCall(service, path, interface, method);
}

} // namespace

DownloadNotifications &DownloadNotifications::shared()
{
    static DownloadNotifications *instance = new DownloadNotifications;
    return *instance;
}

DownloadNotifications::DownloadNotifications()
{
    m_groupTimer.setSingleShot(true);
    connect(&m_groupTimer, &QTimer::timeout, this, [this] { deliver(std::exchange(m_waiting, {})); });
}

void DownloadNotifications::configure(bool enabled, std::function<void(const QString &)> status)
{
    m_enabled = enabled;
    if (!enabled) {
        m_groupTimer.stop();
        m_waiting.clear();
    }
    if (QGuiApplication::desktopFileName().isEmpty()) {
        status(QStringLiteral("Notifications are available in the installed app."));
        return;
    }
    // "Can we use the system route" is whether the desktop's notification service answers.
    whenAnswered(QDBusConnection::sessionBus().asyncCall(call(QStringLiteral("GetServerInformation")), busTimeoutMs),
                 this, [this, enabled, status](const QDBusPendingCall &answer) {
                     m_appBanners = answer.isError();
                     if (!m_appBanners) {
                         if (!m_listening) {
                             QDBusConnection bus = QDBusConnection::sessionBus();
                             bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                                         SLOT(actionInvoked(uint, QString)));
                             bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                                         SLOT(notificationClosed(uint, uint)));
                             m_listening = true;
                         }
                         if (!enabled) {
                             withdrawAll();
                             status(QStringLiteral("Download notifications are off."));
                         } else {
                             status(QStringLiteral("Download notifications are on."));
                         }
                         return;
                     }
                     if (!enabled)
                         CompletionBanners::shared().closeAll();
                     status(enabled
                                ? QStringLiteral("Completion popups are on. No desktop notification service answered, "
                                                 "so Lark shows its own popups.")
                                : QStringLiteral("Download notifications are off."));
                 });
}

void DownloadNotifications::completed(const DownloadItem &item)
{
    if (!m_enabled || QGuiApplication::desktopFileName().isEmpty())
        return;
    if (m_groupWindowMs <= 0) {
        deliver({item});
        return;
    }
    // Completions close together become one notice; a steady stream still
    // gets one every few windows.
    if (m_waiting.isEmpty())
        m_firstWaiting.start();
    m_waiting.append(item);
    if (m_firstWaiting.elapsed() >= 5 * m_groupWindowMs) {
        m_groupTimer.stop();
        deliver(std::exchange(m_waiting, {}));
        return;
    }
    m_groupTimer.start(m_groupWindowMs);
}

void DownloadNotifications::deliver(const QList<DownloadItem> &items)
{
    if (!m_enabled || items.isEmpty())
        return;
    const CompletionNotice notice = CompletionNotice::of(items);
    // A single download replaces its own earlier notice; a group is new each time.
    const QUuid key = items.size() == 1 ? items.first().id : QUuid::createUuid();
    if (m_appBanners) {
        CompletionBanners::shared().show(notice);
        return;
    }
    // The sound travels as a hint only where the server plays sounds itself.
    whenAnswered(QDBusConnection::sessionBus().asyncCall(call(QStringLiteral("GetCapabilities")), busTimeoutMs), this,
                 [this, notice, key](const QDBusPendingCall &answer) {
                     const QDBusPendingReply<QStringList> reply = answer;
                     const QStringList capabilities = reply.isError() ? QStringList() : reply.value();
                     if (m_enabled)
                         notify(notice, key, capabilities.contains(QStringLiteral("sound")),
                                capabilities.contains(QStringLiteral("body-markup")));
                 });
}

namespace {

// A server that reads the body as markup gets the title and folder as text all the same.
QString bodyText(const QString &text, bool markup)
{
    if (!markup)
        return text;
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('&'))
            escaped += QLatin1String("&amp;");
        else if (c == QLatin1Char('<'))
            escaped += QLatin1String("&lt;");
        else if (c == QLatin1Char('>'))
            escaped += QLatin1String("&gt;");
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

void DownloadNotifications::notify(const CompletionNotice &notice, const QUuid &key, bool withSoundHint,
                                   bool bodyMarkup)
{
    QVariantMap hints{{QStringLiteral("desktop-entry"), QGuiApplication::desktopFileName()}};
    if (withSoundHint)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("complete"));
    else
        playCompletionSound();
    QDBusMessage message = call(QStringLiteral("Notify"));
    const QString folderName = QDir(notice.folder).dirName();
    message << QStringLiteral("Lark Downloader") << m_ids.value(key, 0u) << QStringLiteral("lark-downloader")
            << notice.heading << bodyText(QStringLiteral("Saved to %1\n%2").arg(folderName, notice.text), bodyMarkup)
            << QStringList{QStringLiteral("default"), QStringLiteral("Show in Folder")} << hints << -1;
    const Delivered delivered{notice.file.value_or(QString()), notice.folder};
    whenAnswered(QDBusConnection::sessionBus().asyncCall(message, busTimeoutMs), this,
                 [this, notice, key, delivered](const QDBusPendingCall &answer) {
                     const QDBusPendingReply<uint> reply = answer;
                     if (reply.isError()) {
                         // The service went away or refused: this notice still reaches the user.
                         qWarning("Lark notification could not be delivered: %s", qPrintable(reply.error().message()));
                         CompletionBanners::shared().show(notice);
                         return;
                     }
                     m_ids.insert(key, reply.value());
                     m_delivered.insert(reply.value(), delivered);
                 });
}

void DownloadNotifications::withdrawAll()
{
    for (uint id : std::as_const(m_delivered).keys()) {
        QDBusMessage message = call(QStringLiteral("CloseNotification"));
        message << id;
        QDBusConnection::sessionBus().asyncCall(message, busTimeoutMs);
    }
    m_delivered.clear();
}

void DownloadNotifications::actionInvoked(uint id, const QString &action)
{
    // The signal reaches every client of the service: only our own notices count.
    const auto found = m_delivered.constFind(id);
    if (found == m_delivered.cend() || action != QLatin1String("default"))
        return;
    revealInFileManager(found->file, found->folder, this);
}

void DownloadNotifications::notificationClosed(uint id, uint)
{
    m_delivered.remove(id);
}
