#pragma once

#include "app/records/DownloadItem.h"
#include "app/records/RunNotes.h"

#include <QDateTime>
#include <QString>

#include <optional>

// Applies one line of a worker's output to its item. Returns whether the item
// changed; lines for an item that is no longer downloading are dropped. A
// yt-dlp item's title and file come as JSON strings; a title is shown without
// control characters, and a file outside the item's folder is never taken.
// With the run's notes, progress is that of the whole download over its streams.
bool applyWorkerLine(DownloadItem &item, const QString &line, RunNotes *notes = nullptr);

// The finished file a file line reports for item, if it is one to believe.
std::optional<QString> reportedFile(const DownloadItem &item, const QString &line);
