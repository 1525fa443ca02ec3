#pragma once

#include <QString>

#include <array>
#include <optional>

enum class DownloadState { queued, downloading, paused, completed, failed };

inline constexpr std::array<DownloadState, 5> allDownloadStates{DownloadState::queued, DownloadState::downloading,
                                                                DownloadState::paused, DownloadState::completed,
                                                                DownloadState::failed};

// The text the history file stores for a state.
QString rawValue(DownloadState state);
// Exact, case-sensitive match of one of the five texts.
std::optional<DownloadState> downloadStateFromRaw(const QString &text);
