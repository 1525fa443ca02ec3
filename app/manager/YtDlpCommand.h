#pragma once

#include "app/records/DownloadItem.h"

#include <QString>
#include <QStringList>

#include <optional>

// The yt-dlp format selection for a quality; any unknown quality means the best available.
QString ytDlpFormat(const QString &quality, bool haveFFmpeg);

// The full yt-dlp argument list for an item. The progress lines it asks for
// are the ones the application parses.
QStringList ytDlpArguments(const DownloadItem &item, const std::optional<QString> &deno,
                           const std::optional<QString> &ffmpeg);

inline const QString audioQuality = QStringLiteral("Audio \u2022 MP3");

// The qualities a download may ask for, the first the default.
inline const QStringList qualityChoices{QStringLiteral("Best available"), QStringLiteral("1080p"),
                                        QStringLiteral("720p"), audioQuality};
// The browsers whose cookies yt-dlp can read on Linux, "None" first.
inline const QStringList browserChoices{QStringLiteral("None"),    QStringLiteral("Chrome"), QStringLiteral("Chromium"),
                                        QStringLiteral("Firefox"), QStringLiteral("Edge"),   QStringLiteral("Brave"),
                                        QStringLiteral("Opera"),   QStringLiteral("Vivaldi")};
