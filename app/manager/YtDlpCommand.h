#pragma once

#include "app/records/DownloadItem.h"

#include <QString>
#include <QStringList>

#include <optional>

// What every yt-dlp download is given besides its item: the helpers found and
// the choices that hold for all downloads.
struct YtDlpOptions {
    std::optional<QString> jsRuntime; // "deno:/usr/bin/deno"; only for a yt-dlp that takes --js-runtimes
    std::optional<QString> ffmpeg;
    // Subtitle languages in the order wanted ("de", "en"); none: no subtitles.
    QStringList subtitleLanguages;
    bool automaticSubtitles = false;
    // Bytes a second this download may take; none: no limit.
    std::optional<qint64> rateLimit;
    // A cookies.txt for this run, in place of a signed-in browser.
    QString cookiesFile;
};

// The yt-dlp format selection for a quality; any unknown quality means the best available.
QString ytDlpFormat(const QString &quality, bool haveFFmpeg);

// The height a quality caps video at; none for the best and for audio.
std::optional<int> heightCap(const QString &quality);

// The audio format a quality converts to ("mp3", "m4a", "opus"); none for video.
std::optional<QString> audioFormat(const QString &quality);

// The full yt-dlp argument list for an item. The progress lines it asks for
// are the ones the application parses.
QStringList ytDlpArguments(const DownloadItem &item, const YtDlpOptions &options);

// Lists the entries of a link that holds several, flat (without their
// formats), one LARK_ENTRY line each and one LARK_PLAYLIST line.
QStringList ytDlpListingArguments(const QString &url, const QString &browser, const YtDlpOptions &options);

// Asks for everything yt-dlp knows of one video, its formats included, as one JSON document.
QStringList ytDlpFormatListArguments(const DownloadItem &item, const YtDlpOptions &options);

// Subtitle languages as the user wrote them ("de, en-US"): each a language
// code, in order, once; anything else is left out.
QStringList subtitleLanguageList(const QString &text);

inline const QString audioQuality = QStringLiteral("Audio \u2022 MP3");

// The qualities a download may ask for, the first the default.
inline const QStringList qualityChoices{QStringLiteral("Best available"),
                                        QStringLiteral("2160p"),
                                        QStringLiteral("1440p"),
                                        QStringLiteral("1080p"),
                                        QStringLiteral("720p"),
                                        QStringLiteral("480p"),
                                        audioQuality,
                                        QStringLiteral("Audio \u2022 M4A"),
                                        QStringLiteral("Audio \u2022 Opus")};
// The browsers whose cookies yt-dlp can read on Linux, "None" first.
inline const QStringList browserChoices{QStringLiteral("None"),    QStringLiteral("Chrome"), QStringLiteral("Chromium"),
                                        QStringLiteral("Firefox"), QStringLiteral("Edge"),   QStringLiteral("Brave"),
                                        QStringLiteral("Opera"),   QStringLiteral("Vivaldi")};
