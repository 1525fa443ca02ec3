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
        QStringLiteral("--print"),
        QStringLiteral("before_dl:LARK_TITLE|%(title)s"),
        QStringLiteral("--print"),
        QStringLiteral("after_move:LARK_FILE|%(filepath)s"),
        QStringLiteral("--progress-template"),
        QStringLiteral("download:LARK_PROGRESS|%(progress._percent_str)s|%(progress._speed_str)s|"
                       "%(progress._eta_str)s|%(progress._total_bytes_str)s"),
        QStringLiteral("-P"),
        item.folder,
        QStringLiteral("-o"),
        QStringLiteral("%(title).180B [%(id)s] [") + item.jobID().left(8) + QStringLiteral("].%(ext)s"),
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
