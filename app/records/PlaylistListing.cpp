#include "app/records/PlaylistListing.h"

#include "model/WorkerProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <cmath>

namespace {

const QLatin1String entryMarker("LARK_ENTRY|");
const QLatin1String playlistMarker("LARK_PLAYLIST|");

// The fields of a line: numbers as they stand, JSON strings decoded. The
// strings may hold "|", so the line is read as one JSON array.
std::optional<QJsonArray> fields(QStringView rest)
{
    QString text;
    text.reserve(rest.size() + 2);
    text += QLatin1Char('[');
    bool inString = false;
    bool escaped = false;
    QString bare; // a field outside quotes: a number or nothing
    auto endBare = [&] {
        const QString value = bare.trimmed();
        bool isNumber = false;
        const double number = value.toDouble(&isNumber);
        text += isNumber && std::isfinite(number) ? value : QStringLiteral("null");
        bare.clear();
    };
    bool fieldQuoted = false;
    for (const QChar c : rest) {
        if (inString) {
            text += c;
            if (escaped)
                escaped = false;
            else if (c == QLatin1Char('\\'))
                escaped = true;
            else if (c == QLatin1Char('"'))
                inString = false;
            continue;
        }
        if (c == QLatin1Char('"') && bare.trimmed().isEmpty() && !fieldQuoted) {
            inString = true;
            fieldQuoted = true;
            text += c;
        } else if (c == QLatin1Char('|')) {
            if (!fieldQuoted)
                endBare();
            text += QLatin1Char(',');
            fieldQuoted = false;
        } else if (!fieldQuoted) {
            bare += c;
        }
    }
    if (inString)
        return std::nullopt;
    if (!fieldQuoted)
        endBare();
    text += QLatin1Char(']');
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    return document.array();
}

bool isWebLink(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

} // namespace

PlaylistListing parsePlaylistListing(const QString &url, const QStringList &lines)
{
    PlaylistListing listing;
    listing.url = url;
    for (const QString &line : lines) {
        if (line.startsWith(playlistMarker)) {
            if (const auto values = fields(QStringView(line).sliced(playlistMarker.size())))
                listing.title = printableText(values->at(0).toString().left(500));
            continue;
        }
        if (!line.startsWith(entryMarker) || listing.entries.size() >= maxPlaylistEntries)
            continue;
        // index|url|webpage_url|title|duration|id|extractor
        const auto values = fields(QStringView(line).sliced(entryMarker.size()));
        if (!values || values->size() != 7)
            continue;
        PlaylistEntry entry;
        entry.index = values->at(0).toInt(static_cast<int>(listing.entries.size()) + 1);
        if (entry.index < 1)
            entry.index = static_cast<int>(listing.entries.size()) + 1;
        const QString link = values->at(1).toString();
        const QString page = values->at(2).toString();
        entry.title = printableText(values->at(3).toString().left(1000)).trimmed();
        if (entry.title.isEmpty())
            entry.title = QStringLiteral("Entry %1").arg(entry.index);
        if (const double seconds = values->at(4).toDouble(-1); seconds >= 0 && seconds < 1e9)
            entry.durationSeconds = seconds;
        // An entry with a page of its own is fetched from there; one whose
        // only page is the listed link (the videos of one web page) is
        // fetched as that link's entry.
        if (isWebLink(page) && page != url) {
            entry.url = page;
        } else if (isWebLink(link) && link != url && page.isEmpty()) {
            entry.url = link;
        } else {
            entry.url = url;
            entry.playlistItem = entry.index;
        }
        // The archive's line format: one word, a space, the rest.
        QString extractor = values->at(6).toString().left(60).toLower().remove(QLatin1Char(' '));
        if (extractor.isEmpty())
            extractor = QStringLiteral("generic");
        QString identity = values->at(5).toString().left(200);
        if (identity.isEmpty())
            identity = entry.playlistItem ? url + QLatin1Char('#') + QString::number(entry.index) : entry.url;
        entry.archiveKey = printableText(extractor + QLatin1Char(' ') + identity);
        listing.entries.append(entry);
    }
    return listing;
}

QString playlistDuration(const std::optional<double> &seconds)
{
    if (!seconds)
        return QString();
    const auto whole = static_cast<qint64>(std::llround(*seconds));
    const qint64 hours = whole / 3600;
    const qint64 minutes = whole / 60 % 60;
    const qint64 rest = whole % 60;
    if (hours > 0)
        return QStringLiteral("%1:%2:%3")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(rest, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(minutes).arg(rest, 2, 10, QLatin1Char('0'));
}
