#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One format yt-dlp offers for a video.
struct VideoFormat {
    QString id; // "137"
    QString extension;
    std::optional<int> height;
    std::optional<int> width;
    QString videoCodec; // empty: no picture
    QString audioCodec; // empty: no sound
    std::optional<qint64> size;
    QString note; // the site's own word for it ("1080p60", "medium")

    // What the list shows: "1920x1080 · mp4 · avc1 · picture only · 120 MB".
    QString description() const;
    // The selection to download it with: a picture without sound gets the best sound beside it.
    QString selector(bool haveFFmpeg) const;
};

// The formats of a yt-dlp JSON document (one video, or the first entry of a
// listing), best last as yt-dlp orders them; fields are read as text from
// outside and made printable. Nothing when the document is not one.
std::optional<QList<VideoFormat>> parseVideoFormats(const QByteArray &json);
