#include "app/records/DownloadState.h"

QString rawValue(DownloadState state)
{
    switch (state) {
    case DownloadState::queued:
        return QStringLiteral("Queued");
    case DownloadState::downloading:
        return QStringLiteral("Downloading");
    case DownloadState::paused:
        return QStringLiteral("Paused");
    case DownloadState::completed:
        return QStringLiteral("Completed");
    case DownloadState::failed:
        return QStringLiteral("Failed");
    }
    return {};
}

std::optional<DownloadState> downloadStateFromRaw(const QString &text)
{
    for (DownloadState state : allDownloadStates) {
        if (rawValue(state) == text)
            return state;
    }
    return std::nullopt;
}
