#pragma once

#include "app/records/DownloadItem.h"

#include <QDateTime>
#include <QString>

#include <optional>

// Known failure lines of the workers in plain words: a table of patterns and
// sentences kept as data (resources/failure-words.json), first match wins. An
// entry may keep a part of the line after its sentence (the quota's reset time).
namespace FailureWords {

// The sentence for a worker's failure line; nothing when no pattern matches.
std::optional<QString> explain(const QString &line);

// The kind of failure a line of yt-dlp's free text tells, where the table knows it.
std::optional<FailureKind> kind(const QString &line);

// What a row shows as its status: for an item waiting to try again, the
// countdown; a failed item's line in plain words where the table knows it,
// else the line itself. The raw line stays the item's detail.
QString shownDetail(const DownloadItem &item, const QDateTime &now);

} // namespace FailureWords
