#pragma once

#include "app/records/DownloadItem.h"

#include <QList>
#include <QString>

// The files a download keeps in its folder while it is not finished, known by
// the job's name in them: lark-mega's partial and state ".lark-JOB.mega.*",
// yt-dlp's ".part", fragment, ".ytdl", temporary and format files of
// "… [TAG].ext". A file that may be finished is never one of them.
namespace WorkingFiles {

// Removes the working files of these downloads, in the background; each folder is read once.
void removeInBackground(const QList<DownloadItem> &items);

// Removes, now, what an earlier run of this yt-dlp download left under its
// final name, so a new run never takes it for a finished file.
void removeUnfinishedOutputs(const DownloadItem &item);

} // namespace WorkingFiles
