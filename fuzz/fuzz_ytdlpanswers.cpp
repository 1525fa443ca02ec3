#include "app/records/PlaylistListing.h"
#include "app/records/VideoFormat.h"

#include <cstdlib>

// yt-dlp's answers about a link: a listing of its entries, and the formats of one video.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString listed = QStringLiteral("https://example.com/list");
    const PlaylistListing listing = parsePlaylistListing(listed, QString::fromUtf8(bytes).split(QLatin1Char('\n')));
    if (listing.entries.size() > maxPlaylistEntries || listing.title.contains(QLatin1Char('\r')))
        std::abort();
    for (const PlaylistEntry &entry : listing.entries) {
        const bool ownLink = entry.url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
                             entry.url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
        if (entry.title.isEmpty() || entry.title.contains(QLatin1Char('\n')) ||
            entry.title.contains(QLatin1Char('\r')) || entry.archiveKey.contains(QLatin1Char('\n')) || !ownLink ||
            (entry.playlistItem && (entry.url != listed || *entry.playlistItem < 1)))
            std::abort();
    }
    if (const auto formats = parseVideoFormats(bytes)) {
        for (const VideoFormat &format : *formats) {
            if (format.id.isEmpty() || format.id.contains(QLatin1Char('+')) || format.id.contains(QLatin1Char('/')) ||
                format.description().contains(QLatin1Char('\n')))
                std::abort();
        }
    }
    return 0;
}
