#include "app/manager/YtDlpCommand.h"

#include <QRegularExpression>

namespace {

// The options every yt-dlp run of the application starts with.
QStringList commonArguments(const YtDlpOptions &options)
{
    QStringList arguments{QStringLiteral("--ignore-config"), QStringLiteral("--socket-timeout"), QStringLiteral("30")};
    if (options.jsRuntime)
        arguments << QStringLiteral("--js-runtimes") << *options.jsRuntime;
    if (options.ffmpeg)
        arguments << QStringLiteral("--ffmpeg-location") << *options.ffmpeg;
    return arguments;
}

void addCookies(QStringList &arguments, const QString &browser, const YtDlpOptions &options)
{
    if (!options.cookiesFile.isEmpty())
        arguments << QStringLiteral("--cookies") << options.cookiesFile;
    else if (!browser.isEmpty() && browser != QLatin1String("None"))
        arguments << QStringLiteral("--cookies-from-browser") << browser.toLower();
}

} // namespace

std::optional<int> heightCap(const QString &quality)
{
    static const QRegularExpression height(QStringLiteral("^(\\d{3,4})p$"));
    const QRegularExpressionMatch match = height.match(quality);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toInt();
}

std::optional<QString> audioFormat(const QString &quality)
{
    static const QString prefix = QStringLiteral("Audio \u2022 ");
    if (!quality.startsWith(prefix) || !qualityChoices.contains(quality))
        return std::nullopt;
    return quality.mid(prefix.size()).toLower();
}

QString ytDlpFormat(const QString &quality, bool haveFFmpeg)
{
    const auto cap = heightCap(quality);
    const QString height = cap ? QStringLiteral("[height<=%1]").arg(*cap) : QString();
    if (haveFFmpeg)
        return QStringLiteral("bv*%1+ba/b%1/best").arg(height);
    return QStringLiteral("best%1/best").arg(height);
}

QStringList subtitleLanguageList(const QString &text)
{
    static const QRegularExpression code(QStringLiteral("^[A-Za-z]{2,3}(-[A-Za-z0-9]{1,8})*$"));
    QStringList languages;
    for (const QString &part : text.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts)) {
        if (code.match(part).hasMatch() && !languages.contains(part, Qt::CaseInsensitive))
            languages.append(part);
    }
    return languages;
}

QStringList ytDlpArguments(const DownloadItem &item, const YtDlpOptions &options)
{
    QStringList arguments = commonArguments(options);
    arguments << QStringLiteral("--newline") << QStringLiteral("--no-colors") << QStringLiteral("--continue")
              << QStringLiteral("--no-overwrites") << QStringLiteral("--no-simulate") << QStringLiteral("--progress")
              << QStringLiteral("--retries") << QStringLiteral("5") << QStringLiteral("--fragment-retries")
              << QStringLiteral("5")
              // A video with pieces missing is not a finished file.
              << QStringLiteral("--abort-on-unavailable-fragments");
    if (item.playlistItem) {
        arguments << QStringLiteral("--yes-playlist") << QStringLiteral("--playlist-items")
                  << QString::number(*item.playlistItem);
    } else {
        // One video per link: a link that holds several downloads none of
        // them and says how many it holds, so they can be listed and picked.
        // Flat, so finding that out does not read every entry.
        arguments << QStringLiteral("--no-playlist") << QStringLiteral("--flat-playlist")
                  << QStringLiteral("--match-filter") << QStringLiteral("n_entries <? 2") << QStringLiteral("--print")
                  << QStringLiteral("playlist:LARK_ENTRIES|%(playlist_count)s");
    }
    arguments << QStringLiteral("--print")
              // Titles and paths come from strangers: printed as JSON strings, no
              // line break or control character in them can start a line.
              << QStringLiteral("before_dl:LARK_TITLE|%(title)j") << QStringLiteral("--print")
              << QStringLiteral("after_move:LARK_FILE|%(filepath)j")
              // Which streams come, one after the other, and how large they are together.
              << QStringLiteral("--print")
              << QStringLiteral("before_dl:LARK_STREAMS|%(format_id)j|%(filesize,filesize_approx)s")
              // The height that came, to tell when a cap could not apply.
              << QStringLiteral("--print")
              << QStringLiteral("before_dl:LARK_HEIGHT|%(height)s")
              // The texts for readers of the first four fields, then the numbers.
              << QStringLiteral("--progress-template")
              << QStringLiteral("download:LARK_PROGRESS|%(progress._percent_str)s|%(progress._speed_str)s|"
                                "%(progress._eta_str)s|%(progress._total_bytes_str)s|%(progress.downloaded_bytes)s|"
                                "%(progress.total_bytes,progress.total_bytes_estimate)s|%(progress.speed)s|"
                                "%(progress.eta)s|%(info.format_id)s")
              // The file name is made of copies of the title and id that yt-dlp's
              // own clean-up cannot lengthen (it writes "|" and the like as
              // three-byte look-alikes), without direction overrides, and cut so
              // that every name of the download, working files included, fits the
              // 255 bytes a Linux file name may have.
              << QStringLiteral("--parse-metadata") << QStringLiteral("title:(?s)(?P<lark_name>.+)")
              << QStringLiteral("--parse-metadata") << QStringLiteral("id:(?s)(?P<lark_id>.+)")
              << QStringLiteral("--replace-in-metadata") << QStringLiteral("lark_name,lark_id")
              << QStringLiteral("[\"*:<>?|/\\\\]") << QStringLiteral("-") << QStringLiteral("--replace-in-metadata")
              << QStringLiteral("lark_name,lark_id") << QStringLiteral("[\\u202a-\\u202e\\u2066-\\u2069]") << QString()
              << QStringLiteral("-P") << item.folder << QStringLiteral("-o")
              << QStringLiteral("%(lark_name).140B [%(lark_id).24B] [") + item.jobID().left(8) +
                     QStringLiteral("].%(ext)s");
    const auto audio = audioFormat(item.quality);
    if (!item.format.isEmpty()) {
        arguments << QStringLiteral("-f") << item.format;
    } else if (audio && options.ffmpeg) {
        // M4A and Opus come as they are where the site has them; MP3 is always converted.
        const QString source = *audio == QLatin1String("m4a")    ? QStringLiteral("ba[ext=m4a]/ba/b")
                               : *audio == QLatin1String("opus") ? QStringLiteral("ba[acodec=opus]/ba/b")
                                                                 : QStringLiteral("bestaudio/best");
        arguments << QStringLiteral("-f") << source << QStringLiteral("-x") << QStringLiteral("--audio-format")
                  << *audio;
    } else {
        arguments << QStringLiteral("-f") << ytDlpFormat(item.quality, options.ffmpeg.has_value());
    }
    if (options.ffmpeg) {
        if (!audio || !item.format.isEmpty()) {
            // Video ends as MP4 or MKV, the containers that hold subtitles, tags and a cover.
            arguments << QStringLiteral("--merge-output-format") << QStringLiteral("mp4/mkv")
                      << QStringLiteral("--remux-video") << QStringLiteral("mp4>mp4/mkv");
            if (!options.subtitleLanguages.isEmpty()) {
                QStringList patterns;
                for (const QString &language : options.subtitleLanguages)
                    patterns.append(QRegularExpression::escape(language) + QStringLiteral("(-.*)?"));
                // Embedding alone asks for them, and removes the files once they are in the video;
                // --write-subs would keep them beside it as well.
                if (options.automaticSubtitles)
                    arguments << QStringLiteral("--write-auto-subs");
                arguments << QStringLiteral("--sub-langs") << patterns.join(QLatin1Char(','))
                          << QStringLiteral("--embed-subs");
            }
        }
        arguments << QStringLiteral("--embed-metadata") << QStringLiteral("--embed-chapters")
                  << QStringLiteral("--embed-thumbnail");
    } else if (!item.format.isEmpty() || !audio) {
        arguments << QStringLiteral("--merge-output-format") << QStringLiteral("mp4/mkv");
    }
    if (options.rateLimit)
        arguments << QStringLiteral("--limit-rate") << QString::number(*options.rateLimit);
    addCookies(arguments, item.browser, options);
    arguments << QStringLiteral("--") << item.url;
    return arguments;
}

QStringList ytDlpListingArguments(const QString &url, const QString &browser, const YtDlpOptions &options)
{
    QStringList arguments = commonArguments(options);
    // Every field outside the numbers comes as a JSON string: "" when unknown.
    // A print at the "playlist" stage would let yt-dlp download the entries
    // it resolves unless told outright to fetch nothing.
    arguments << QStringLiteral("--simulate") << QStringLiteral("--yes-playlist") << QStringLiteral("--flat-playlist")
              << QStringLiteral("--print") << QStringLiteral("playlist:LARK_PLAYLIST|%(title|)j|%(playlist_count|)s")
              << QStringLiteral("--print")
              << QStringLiteral("LARK_ENTRY|%(playlist_index|)s|%(url|)j|%(webpage_url|)j|%(title|)j|%(duration|)s|"
                                "%(id|)j|%(ie_key,extractor_key|)j");
    addCookies(arguments, browser, options);
    arguments << QStringLiteral("--") << url;
    return arguments;
}

QStringList ytDlpFormatListArguments(const DownloadItem &item, const YtDlpOptions &options)
{
    QStringList arguments = commonArguments(options);
    arguments << QStringLiteral("--simulate") << QStringLiteral("--dump-single-json");
    if (item.playlistItem)
        arguments << QStringLiteral("--yes-playlist") << QStringLiteral("--playlist-items")
                  << QString::number(*item.playlistItem);
    else
        arguments << QStringLiteral("--no-playlist") << QStringLiteral("--flat-playlist");
    addCookies(arguments, item.browser, options);
    arguments << QStringLiteral("--") << item.url;
    return arguments;
}
