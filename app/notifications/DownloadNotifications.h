#pragma once

#include "app/manager/CompletionNotifier.h"

#include <QHash>
#include <QObject>
#include <QUuid>

// Tells the user a download finished: through the desktop's notification
// service (org.freedesktop.Notifications) when one answers on the session bus,
// through the application's own banners otherwise. A click on a notification
// shows the file, or opens its folder when the file is gone.
class DownloadNotifications : public QObject, public CompletionNotifier {
    Q_OBJECT

public:
    static DownloadNotifications &shared();
    DownloadNotifications();

    void configure(bool enabled, std::function<void(const QString &)> status) override;
    void completed(const DownloadItem &item) override;

    bool usesBanners() const { return m_appBanners; }

private Q_SLOTS:
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id, uint reason);

private:
    struct Delivered {
        QString file;
        QString folder;
    };
    void notify(const DownloadItem &item, bool withSoundHint, bool bodyMarkup);
    void withdrawAll();

    bool m_enabled = true;
    bool m_appBanners = false;
    bool m_listening = false;
    // The desktop's id for each download's notice, so a download replaces its own.
    QHash<QUuid, uint> m_ids;
    QHash<uint, Delivered> m_delivered;
};
