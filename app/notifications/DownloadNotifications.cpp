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

DownloadNotifications::DownloadNotifications() = default;

void DownloadNotifications::configure(bool enabled, std::function<void(const QString &)> status)
{
    m_enabled = enabled;
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
    if (m_appBanners) {
        CompletionBanners::shared().show(item);
        return;
    }
    // The sound travels as a hint only where the server plays sounds itself.
    whenAnswered(QDBusConnection::sessionBus().asyncCall(call(QStringLiteral("GetCapabilities")), busTimeoutMs), this,
                 [this, item](const QDBusPendingCall &answer) {
                     const QDBusPendingReply<QStringList> reply = answer;
                     const QStringList capabilities = reply.isError() ? QStringList() : reply.value();
                     if (m_enabled)
                         notify(item, capabilities.contains(QStringLiteral("sound")),
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

void DownloadNotifications::notify(const DownloadItem &item, bool withSoundHint, bool bodyMarkup)
{
    QVariantMap hints{{QStringLiteral("desktop-entry"), QGuiApplication::desktopFileName()}};
    if (withSoundHint)
        hints.insert(QStringLiteral("sound-name"), QStringLiteral("complete"));
    else
        playCompletionSound();
    QDBusMessage message = call(QStringLiteral("Notify"));
    const QString folderName = QDir(item.folder).dirName();
    message << QStringLiteral("Lark Downloader") << m_ids.value(item.id, 0u) << QStringLiteral("lark-downloader")
            << QStringLiteral("Download complete")
            << bodyText(QStringLiteral("Saved to %1\n%2").arg(folderName, item.title), bodyMarkup)
            << QStringList{QStringLiteral("default"), QStringLiteral("Show in Folder")} << hints << -1;
    const QUuid downloadID = item.id;
    const Delivered delivered{item.file.value_or(QString()), item.folder};
    whenAnswered(QDBusConnection::sessionBus().asyncCall(message, busTimeoutMs), this,
                 [this, item, downloadID, delivered](const QDBusPendingCall &answer) {
                     const QDBusPendingReply<uint> reply = answer;
                     if (reply.isError()) {
                         // The service went away or refused: this notice still reaches the user.
                         qWarning("Lark notification could not be delivered: %s", qPrintable(reply.error().message()));
                         CompletionBanners::shared().show(item);
                         return;
                     }
                     m_ids.insert(downloadID, reply.value());
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
