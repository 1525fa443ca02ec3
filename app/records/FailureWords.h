#pragma once

#include "app/records/DownloadItem.h"

#include <QString>

#include <optional>

// Known failure lines of the workers in plain words: a table of patterns and
// sentences kept as data (resources/failure-words.json), first match wins. An
// entry may keep a part of the line after its sentence (the quota's reset time).
namespace FailureWords {

// The sentence for a worker's failure line; nothing when no pattern matches.
std::optional<QString> explain(const QString &line);

// What a row shows as its status: a failed item's line in plain words where
// the table knows it, else the line itself. The raw line stays the item's detail.
QString shownDetail(const DownloadItem &item);

} // namespace FailureWords
