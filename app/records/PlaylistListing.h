#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One video of a link that holds several, as a flat listing names it.
struct PlaylistEntry {
    int index = 0; // its place in the link, from 1
    QString title;
    std::optional<double> durationSeconds;
    // Where the entry is downloaded from: its own page, or the listed link
    // itself with the entry's place when it has none.
    QString url;
    std::optional<int> playlistItem;
    // What the download archive knows it by: "extractor id".
    QString archiveKey;
};

// What yt-dlp listed behind a link.
struct PlaylistListing {
    QString url;
    QString title;
    QList<PlaylistEntry> entries;
    // Entries left out because the archive says they were downloaded before.
    int skipped = 0;
    // The quality and folder its entries are downloaded with.
    QString quality;
    QString folder;
    QString browser;
};

// The most entries one listing keeps; the rest of a larger one are left out.
inline constexpr int maxPlaylistEntries = 100000;

// Reads the LARK_PLAYLIST and LARK_ENTRY lines of a listing of url. Every
// text field is a JSON string from outside: titles are made printable,
// links are kept only when they are http or https.
PlaylistListing parsePlaylistListing(const QString &url, const QStringList &lines);

// A duration as a row shows it: "4:05", "1:02:03"; empty when unknown.
QString playlistDuration(const std::optional<double> &seconds);
