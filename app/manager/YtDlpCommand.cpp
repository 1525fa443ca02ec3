#include "app/manager/YtDlpCommand.h"

QString ytDlpFormat(const QString &quality, bool haveFFmpeg)
{
    QString height;
    if (quality == QLatin1String("1080p"))
        height = QStringLiteral("[height<=1080]");
    else if (quality == QLatin1String("720p"))
        height = QStringLiteral("[height<=720]");
    if (haveFFmpeg)
        return QStringLiteral("bv*%1+ba/b%1/best").arg(height);
    return QStringLiteral("best%1/best").arg(height);
}

QStringList ytDlpArguments(const DownloadItem &item, const std::optional<QString> &deno,
                           const std::optional<QString> &ffmpeg)
{
    QStringList arguments{
        QStringLiteral("--ignore-config"),
        QStringLiteral("--no-playlist"),
        QStringLiteral("--newline"),
        QStringLiteral("--no-colors"),
        QStringLiteral("--continue"),
        QStringLiteral("--no-overwrites"),
        QStringLiteral("--no-simulate"),
        QStringLiteral("--progress"),
        QStringLiteral("--socket-timeout"),
        QStringLiteral("30"),
        QStringLiteral("--retries"),
        QStringLiteral("5"),
        QStringLiteral("--fragment-retries"),
        QStringLiteral("5"),
        // A video with pieces missing is not a finished file.
        QStringLiteral("--abort-on-unavailable-fragments"),
        // One video per link: a link that holds several downloads none of
        // them, and says how many it holds.
        QStringLiteral("--match-filter"),
        QStringLiteral("n_entries <? 2"),
        QStringLiteral("--print"),
        QStringLiteral("playlist:LARK_ENTRIES|%(playlist_count)s"),
        // Titles and paths come from strangers: printed as JSON strings, no
        // line break or control character in them can start a line.
        QStringLiteral("--print"),
        QStringLiteral("before_dl:LARK_TITLE|%(title)j"),
        QStringLiteral("--print"),
        QStringLiteral("after_move:LARK_FILE|%(filepath)j"),
        // Which streams come, one after the other, and how large they are together.
        QStringLiteral("--print"),
        QStringLiteral("before_dl:LARK_STREAMS|%(format_id)j|%(filesize,filesize_approx)s"),
        // The texts for readers of the first four fields, then the numbers.
        QStringLiteral("--progress-template"),
        QStringLiteral("download:LARK_PROGRESS|%(progress._percent_str)s|%(progress._speed_str)s|"
                       "%(progress._eta_str)s|%(progress._total_bytes_str)s|%(progress.downloaded_bytes)s|"
                       "%(progress.total_bytes,progress.total_bytes_estimate)s|%(progress.speed)s|"
                       "%(progress.eta)s|%(info.format_id)s"),
        // The file name is made of copies of the title and id that yt-dlp's
        // own clean-up cannot lengthen (it writes "|" and the like as
        // three-byte look-alikes), without direction overrides, and cut so
        // that every name of the download, working files included, fits the
        // 255 bytes a Linux file name may have.
        QStringLiteral("--parse-metadata"),
        QStringLiteral("title:(?s)(?P<lark_name>.+)"),
        QStringLiteral("--parse-metadata"),
        QStringLiteral("id:(?s)(?P<lark_id>.+)"),
        QStringLiteral("--replace-in-metadata"),
        QStringLiteral("lark_name,lark_id"),
        QStringLiteral("[\"*:<>?|/\\\\]"),
        QStringLiteral("-"),
        QStringLiteral("--replace-in-metadata"),
        QStringLiteral("lark_name,lark_id"),
        QStringLiteral("[\\u202a-\\u202e\\u2066-\\u2069]"),
        QString(),
        QStringLiteral("-P"),
        item.folder,
        QStringLiteral("-o"),
        QStringLiteral("%(lark_name).140B [%(lark_id).24B] [") + item.jobID().left(8) + QStringLiteral("].%(ext)s"),
    };
    if (deno)
        arguments << QStringLiteral("--js-runtimes") << QStringLiteral("deno:") + *deno;
    if (ffmpeg)
        arguments << QStringLiteral("--ffmpeg-location") << *ffmpeg;
    if (item.quality == audioQuality && ffmpeg)
        arguments << QStringLiteral("-f") << QStringLiteral("bestaudio/best") << QStringLiteral("-x")
                  << QStringLiteral("--audio-format") << QStringLiteral("mp3");
    else
        arguments << QStringLiteral("-f") << ytDlpFormat(item.quality, ffmpeg.has_value())
                  << QStringLiteral("--merge-output-format") << QStringLiteral("mp4/mkv");
    if (item.browser != QLatin1String("None"))
        arguments << QStringLiteral("--cookies-from-browser") << item.browser.toLower();
    arguments << QStringLiteral("--") << item.url;
    return arguments;
}
