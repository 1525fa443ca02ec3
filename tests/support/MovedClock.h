#pragma once

#include "app/manager/Clock.h"

// A clock the test moves by hand: waits of minutes pass at once.
struct MovedClock : Clock {
    QDateTime time = QDateTime(QDate(2026, 12, 9), QTime(13, 50), Qt::UTC);
    QDateTime now() const override { return time; }
    void pass(qint64 seconds) { time = time.addSecs(seconds); }
};
