#include "app/manager/FileManager.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>

void revealInFileManager(const std::optional<QString> &file, const QString &folder, QObject *context)
{
    const auto openFolder = [folder] {
        QProcess::startDetached(QStringLiteral("xdg-open"), {QUrl::fromLocalFile(folder).toString()});
    };
    if (!file || file->isEmpty() || !QFileInfo::exists(*file)) {
        openFolder();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(*file).toString()} << QString();
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 3000), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, openFolder] {
        if (watcher->isError())
            openFolder();
        watcher->deleteLater();
    });
}
