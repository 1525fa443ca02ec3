#pragma once

#include <QDateTime>

// The time as the manager reads it. Tests pass one they move by hand, so a
// wait of minutes is checked without waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const { return QDateTime::currentDateTimeUtc(); }
};
