#pragma once

#include <QEventLoop>
#include <QTimer>

#include <functional>

// Runs a real event loop until condition holds or timeoutMs pass. QTRY's
// waits sleep between passes of the loop, which holds what a pipe delivers
// to a few MiB a second.
inline bool waitInEventLoop(const std::function<bool()> &condition, int timeoutMs)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(10);
    if (!condition())
        loop.exec();
    return condition();
}
