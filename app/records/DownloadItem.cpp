#include "app/records/DownloadItem.h"

#include "model/ByteCount.h"
#include "model/JsonFields.h"
#include "model/MegaFolderLink.h"

#include <QUrl>

#include <cmath>

namespace {

// "created" counts seconds from 2001-01-01 00:00:00 UTC, as the history always has.
constexpr qint64 referenceDateMSecs = 978307200000LL;
// Keeps decoded timestamps inside what QDateTime represents (about ±300,000 years).
constexpr double maxCreatedSeconds = 9.0e12;

bool isDomainOrSubdomain(const QString &host, QLatin1StringView domain)
{
    return host == domain || (host.endsWith(domain) && host.size() > domain.size() &&
                              host[host.size() - domain.size() - 1] == QLatin1Char('.'));
}

} // namespace

DownloadItem::DownloadItem(QString url, QString title, QString folder, QString quality, QString browser, QUuid id,
                           DownloadState state, double progress, QString detail, std::optional<QString> file,
                           QDateTime created, std::optional<MegaNodeDownload> megaNode) :
    id(id),
    url(std::move(url)),
    title(std::move(title)),
    folder(std::move(folder)),
    quality(std::move(quality)),
    browser(std::move(browser)),
    state(state),
    progress(progress),
    detail(std::move(detail)),
    file(std::move(file)),
    created(std::move(created)),
    megaNode(std::move(megaNode))
{}

QString siteLabel(const QString &url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    const QString host = parsed.isValid() ? parsed.host().toLower() : QString();
    if (host == QLatin1String("youtu.be") || isDomainOrSubdomain(host, QLatin1String("youtube.com")))
        return QStringLiteral("YouTube");
    if (isDomainOrSubdomain(host, QLatin1String("instagram.com")))
        return QStringLiteral("Instagram");
    if (isDomainOrSubdomain(host, QLatin1String("tiktok.com")))
        return QStringLiteral("TikTok");
    if (isDomainOrSubdomain(host, QLatin1String("facebook.com")) || host == QLatin1String("fb.watch"))
        return QStringLiteral("Facebook");
    if (isDomainOrSubdomain(host, QLatin1String(MegaHosts::primary)) ||
        isDomainOrSubdomain(host, QLatin1String(MegaHosts::legacy)))
        return QStringLiteral("MEGA");
    return QString(host).remove(QLatin1String("www."));
}

QString DownloadItem::platform() const
{
    return siteLabel(url);
}

bool DownloadItem::titleIsStandIn() const
{
    return title.isEmpty() || title == QUrl(url).host() || title == QLatin1String("New download");
}

QString DownloadItem::jobID() const
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QString DownloadItem::speedText() const
{
    return bytesPerSecond ? formatByteRate(*bytesPerSecond) : noValue;
}

QString DownloadItem::etaText() const
{
    return secondsLeft ? formatDuration(*secondsLeft) : noValue;
}

QString DownloadItem::sizeText() const
{
    return bytesTotal ? formatByteCount(*bytesTotal) : noValue;
}

void DownloadItem::clearRates()
{
    bytesPerSecond.reset();
    secondsLeft.reset();
}

namespace {

double secondsSinceReference(const QDateTime &time)
{
    return static_cast<double>(time.toMSecsSinceEpoch() - referenceDateMSecs) / 1000.0;
}

std::optional<QDateTime> timeFromReference(double seconds)
{
    if (!std::isfinite(seconds) || std::abs(seconds) > maxCreatedSeconds)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(referenceDateMSecs + static_cast<qint64>(std::llround(seconds * 1000.0)),
                                          Qt::UTC);
}

std::optional<qint64> storedCount(const QJsonObject &object, QLatin1StringView key)
{
    const auto value = strictInteger(object.value(key));
    return value && *value >= 0 ? value : std::nullopt;
}

} // namespace

QJsonObject DownloadItem::toJson() const
{
    QJsonObject object{
        {QLatin1String("id"), jobID()},
        {QLatin1String("url"), url},
        {QLatin1String("title"), title},
        {QLatin1String("folder"), folder},
        {QLatin1String("quality"), quality},
        {QLatin1String("browser"), browser},
        {QLatin1String("state"), rawValue(state)},
        {QLatin1String("progress"), progress},
        // The texts stay for earlier versions, which read only them.
        {QLatin1String("speed"), speedText()},
        {QLatin1String("eta"), etaText()},
        {QLatin1String("size"), sizeText()},
        {QLatin1String("detail"), detail},
        {QLatin1String("created"), secondsSinceReference(created)},
    };
    if (bytesDone)
        object.insert(QLatin1String("bytesDone"), *bytesDone);
    if (bytesTotal)
        object.insert(QLatin1String("bytesTotal"), *bytesTotal);
    if (failureKind)
        object.insert(QLatin1String("failureKind"), failureKindName(*failureKind));
    if (retryAt)
        object.insert(QLatin1String("retryAt"), secondsSinceReference(*retryAt));
    if (retries > 0)
        object.insert(QLatin1String("retries"), retries);
    if (stoppedByQuit)
        object.insert(QLatin1String("stoppedByQuit"), true);
    if (file)
        object.insert(QLatin1String("file"), *file);
    if (megaNode)
        object.insert(QLatin1String("megaNode"), megaNode->toJson());
    if (!format.isEmpty())
        object.insert(QLatin1String("format"), format);
    if (playlistItem)
        object.insert(QLatin1String("playlistItem"), *playlistItem);
    if (!archiveKey.isEmpty())
        object.insert(QLatin1String("archiveKey"), archiveKey);
    return object;
}

std::optional<DownloadItem> DownloadItem::fromJson(const QJsonObject &object)
{
    JsonFields fields(object);
    const QString idText = fields.string(QLatin1String("id"));
    const QUuid id = QUuid::fromString(idText);
    const bool nilText = idText == QLatin1String("00000000-0000-0000-0000-000000000000");
    if (idText.size() != 36 || (id.isNull() && !nilText))
        fields.fail();

    const auto state = downloadStateFromRaw(fields.string(QLatin1String("state")));
    if (!state)
        fields.fail();

    const double createdSeconds = fields.number(QLatin1String("created"));
    if (!std::isfinite(createdSeconds) || std::abs(createdSeconds) > maxCreatedSeconds)
        fields.fail();

    std::optional<MegaNodeDownload> megaNode;
    if (const auto nodeObject = fields.optionalObject(QLatin1String("megaNode"))) {
        megaNode = MegaNodeDownload::fromJson(*nodeObject);
        if (!megaNode)
            fields.fail();
    }

    DownloadItem item(fields.string(QLatin1String("url")), fields.string(QLatin1String("title")),
                      fields.string(QLatin1String("folder")), fields.string(QLatin1String("quality")),
                      fields.string(QLatin1String("browser")));
    item.id = id;
    item.state = state.value_or(DownloadState::failed);
    item.progress = fields.number(QLatin1String("progress"));
    // Earlier versions kept the size only as the worker's text.
    const QString sizeText = fields.string(QLatin1String("size"));
    item.bytesTotal = object.contains(QLatin1String("bytesTotal")) ? storedCount(object, QLatin1String("bytesTotal"))
                                                                   : parseByteCount(sizeText);
    item.bytesDone = storedCount(object, QLatin1String("bytesDone"));
    item.failureKind = failureKindFromName(object.value(QLatin1String("failureKind")).toString());
    if (const QJsonValue retryAt = object.value(QLatin1String("retryAt")); retryAt.isDouble())
        item.retryAt = timeFromReference(retryAt.toDouble());
    item.retries = static_cast<int>(
        std::clamp<qint64>(storedCount(object, QLatin1String("retries")).value_or(0), 0, automaticRetries));
    item.stoppedByQuit = object.value(QLatin1String("stoppedByQuit")).toBool();
    item.detail = fields.string(QLatin1String("detail"));
    item.file = fields.optionalString(QLatin1String("file"));
    item.megaNode = std::move(megaNode);
    item.format = object.value(QLatin1String("format")).toString();
    if (const auto place = storedCount(object, QLatin1String("playlistItem")); place && *place > 0 && *place < 10000000)
        item.playlistItem = static_cast<int>(*place);
    item.archiveKey = object.value(QLatin1String("archiveKey")).toString();
    if (!fields.ok())
        return std::nullopt;
    item.created = *timeFromReference(createdSeconds);
    return item;
}
