#include "app/records/VideoFormat.h"

#include "model/ByteCount.h"
#include "model/WorkerProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

QString field(const QJsonObject &object, QLatin1StringView key, qsizetype longest = 60)
{
    return printableText(object.value(key).toString().left(longest)).trimmed();
}

std::optional<qint64> count(const QJsonObject &object, QLatin1StringView key)
{
    const double value = object.value(key).toDouble(-1);
    if (value <= 0 || value > 9.0e15)
        return std::nullopt;
    return static_cast<qint64>(value);
}

QString codec(const QJsonObject &object, QLatin1StringView key)
{
    const QString name = field(object, key, 40);
    return name == QLatin1String("none") ? QString() : name.section(QLatin1Char('.'), 0, 0);
}

} // namespace

QString VideoFormat::description() const
{
    QStringList parts;
    if (height && width)
        parts.append(QStringLiteral("%1x%2").arg(*width).arg(*height));
    else if (height)
        parts.append(QStringLiteral("%1p").arg(*height));
    else if (videoCodec.isEmpty() && !audioCodec.isEmpty())
        parts.append(QStringLiteral("Sound"));
    if (!extension.isEmpty())
        parts.append(extension);
    const QStringList codecs = QStringList{videoCodec, audioCodec}.filter(QRegularExpression(QStringLiteral(".")));
    if (!codecs.isEmpty())
        parts.append(codecs.join(QLatin1Char('+')));
    if (!videoCodec.isEmpty() && audioCodec.isEmpty())
        parts.append(QStringLiteral("picture only"));
    if (!note.isEmpty())
        parts.append(note);
    if (size)
        parts.append(formatByteCount(*size));
    return parts.join(QStringLiteral(" \u00b7 "));
}

QString VideoFormat::selector(bool haveFFmpeg) const
{
    if (haveFFmpeg && !videoCodec.isEmpty() && audioCodec.isEmpty())
        return id + QStringLiteral("+bestaudio/") + id;
    return id;
}

std::optional<QList<VideoFormat>> parseVideoFormats(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    QJsonObject video = document.object();
    if (video.value(QLatin1String("_type")).toString() == QLatin1String("playlist"))
        video = video.value(QLatin1String("entries")).toArray().at(0).toObject();
    QJsonArray formats = video.value(QLatin1String("formats")).toArray();
    // A video of one format may list none but carry its own fields.
    if (formats.isEmpty() && video.contains(QLatin1String("format_id")))
        formats.append(video);
    QList<VideoFormat> list;
    for (const QJsonValue &value : std::as_const(formats)) {
        const QJsonObject object = value.toObject();
        VideoFormat format;
        format.id = field(object, QLatin1String("format_id"));
        // An id becomes part of a selection: only the characters yt-dlp's own ids have.
        static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_.-]+$"));
        if (!safe.match(format.id).hasMatch())
            continue;
        format.extension = field(object, QLatin1String("ext"), 10);
        if (const auto height = count(object, QLatin1String("height")); height && *height < 100000)
            format.height = static_cast<int>(*height);
        if (const auto width = count(object, QLatin1String("width")); width && *width < 100000)
            format.width = static_cast<int>(*width);
        format.videoCodec = codec(object, QLatin1String("vcodec"));
        format.audioCodec = codec(object, QLatin1String("acodec"));
        // A format that does not say has both, as yt-dlp takes it.
        if (!object.contains(QLatin1String("vcodec")) && !object.contains(QLatin1String("acodec")))
            format.videoCodec = format.audioCodec = QString();
        format.size = count(object, QLatin1String("filesize"));
        if (!format.size)
            format.size = count(object, QLatin1String("filesize_approx"));
        format.note = field(object, QLatin1String("format_note"), 40);
        list.append(format);
        if (list.size() >= 1000)
            break;
    }
    return list;
}
