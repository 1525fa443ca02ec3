#pragma once

#include <QDBusPendingCall>

#include <functional>

class QObject;

// Runs done with the answer to an asynchronous D-Bus call, on context's
// thread. A call on a bus that is not there has its (error) answer at once,
// and a pending-call watcher would never report it: that case is queued too.
void whenAnswered(const QDBusPendingCall &pending, QObject *context,
                  std::function<void(const QDBusPendingCall &)> done);
