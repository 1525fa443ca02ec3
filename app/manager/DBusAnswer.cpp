#include "app/manager/DBusAnswer.h"

#include <QDBusPendingCallWatcher>
#include <QObject>

void whenAnswered(const QDBusPendingCall &pending, QObject *context, std::function<void(const QDBusPendingCall &)> done)
{
    if (pending.isFinished()) {
        QMetaObject::invokeMethod(
            context, [pending, done] { done(pending); }, Qt::QueuedConnection);
        return;
    }
    auto *watcher = new QDBusPendingCallWatcher(pending, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done] {
        watcher->deleteLater();
        done(*watcher);
    });
}
