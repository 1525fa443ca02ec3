#pragma once

#include "app/records/DownloadItem.h"

#include <QString>

// Applies one line of a worker's output to its item. Returns whether the item
// changed; lines for an item that is no longer downloading are dropped.
bool applyWorkerLine(DownloadItem &item, const QString &line);
