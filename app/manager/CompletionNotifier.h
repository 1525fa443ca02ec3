#pragma once

#include "app/records/DownloadItem.h"

#include <QString>

#include <functional>

// Where the manager sends finished downloads. The notification service
// implements it; the manager holds none until one is set.
class CompletionNotifier {
public:
    virtual ~CompletionNotifier() = default;

    // Applies the enabled setting; status receives the service's status texts, on any thread.
    virtual void configure(bool enabled, std::function<void(const QString &)> status) = 0;
    virtual void completed(const DownloadItem &item) = 0;
};
