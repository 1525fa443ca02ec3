#pragma once

#include "app/manager/CompletionNotifier.h"
#include "app/notifications/CompletionBanners.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUuid>

// Tells the user a download finished: through the desktop's notification
// service (org.freedesktop.Notifications) when one answers on the session bus,
// through the application's own banners otherwise. A click on a notification
// shows the file, or opens its folder when the file is gone. Completions that
// come close together (files picked in one MEGA folder) give one notice.
class DownloadNotifications : public QObject, public CompletionNotifier {
    Q_OBJECT

public:
    static DownloadNotifications &shared();
    DownloadNotifications();

    void configure(bool enabled, std::function<void(const QString &)> status) override;
    void completed(const DownloadItem &item) override;

    bool usesBanners() const { return m_appBanners; }
    // Completions within this many milliseconds of the one before give one
    // notice together; 0 gives each its own at once.
    void setGroupWindow(int milliseconds) { m_groupWindowMs = milliseconds; }

private Q_SLOTS:
    void actionInvoked(uint id, const QString &action);
    void notificationClosed(uint id, uint reason);

private:
    struct Delivered {
        QString file;
        QString folder;
    };
    void deliver(const QList<DownloadItem> &items);
    void notify(const CompletionNotice &notice, const QUuid &key, bool withSoundHint, bool bodyMarkup);
    void withdrawAll();

    bool m_enabled = true;
    bool m_appBanners = false;
    bool m_listening = false;
    // The desktop's id for each download's notice, so a download replaces its own.
    QHash<QUuid, uint> m_ids;
    QHash<uint, Delivered> m_delivered;
    int m_groupWindowMs = 2000;
    QList<DownloadItem> m_waiting;
    QTimer m_groupTimer;
    QElapsedTimer m_firstWaiting;
};
