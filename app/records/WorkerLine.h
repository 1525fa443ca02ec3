#pragma once

#include "app/records/DownloadItem.h"

#include <QDateTime>
#include <QString>

#include <optional>

// Applies one line of a worker's output to its item. Returns whether the item
// changed; lines for an item that is no longer downloading are dropped. A
// yt-dlp item's title and file come as JSON strings; a title is shown without
// control characters, and a file outside the item's folder is never taken.
bool applyWorkerLine(DownloadItem &item, const QString &line);

// The finished file a file line reports for item, if it is one to believe.
std::optional<QString> reportedFile(const DownloadItem &item, const QString &line);

// lark-mega says how long until MEGA's quota resets ("About 42 minutes
// left."); the item keeps it as the clock time then ("Quota resets at
// 14:32."), which stays true after a restart.
QString withQuotaResetClock(const QString &line, const QDateTime &now);
