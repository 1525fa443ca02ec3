#pragma once

#include "app/records/DownloadState.h"
#include "model/MegaNodeDownload.h"
#include "model/WorkerProtocol.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <optional>

// "No value" in an item's speed, time left and size.
inline const QString noValue = QStringLiteral("\u2014");

// How many times a failure that may pass is tried again by itself.
inline constexpr int automaticRetries = 3;

// The record of one download. Items are values: views and notices get copies
// and address the manager by id.
struct DownloadItem {
    DownloadItem(QString url, QString title, QString folder, QString quality, QString browser,
                 QUuid id = QUuid::createUuid(), DownloadState state = DownloadState::queued, double progress = 0,
                 QString detail = QStringLiteral("Waiting for a download slot"), std::optional<QString> file = {},
                 QDateTime created = QDateTime::currentDateTimeUtc(), std::optional<MegaNodeDownload> megaNode = {});

    QUuid id;
    QString url;
    QString title;
    QString folder;
    QString quality;
    QString browser;
    DownloadState state;
    double progress;
    std::optional<qint64> bytesDone;
    std::optional<qint64> bytesTotal;
    std::optional<double> bytesPerSecond;
    std::optional<qint64> secondsLeft;
    QString detail;
    std::optional<QString> file;
    QDateTime created;
    std::optional<MegaNodeDownload> megaNode;
    // The yt-dlp format picked for this download alone ("137+bestaudio/137"); empty: the quality decides.
    QString format;
    // An entry of a link that holds several which has no link of its own: its place in that link.
    std::optional<int> playlistItem;
    // What the download archive knows this entry by ("youtube dQw4w9WgXcQ"); empty: not from a listing.
    QString archiveKey;
    // A failed item that tries again by itself at retryAt: why it failed,
    // and how many of its automatic retries have been used.
    std::optional<FailureKind> failureKind;
    std::optional<QDateTime> retryAt;
    int retries = 0;
    // Paused because Lark quit (or died) while it was queued or running, not by the user.
    bool stoppedByQuit = false;

    // What the row shows; noValue when not known.
    QString speedText() const;
    QString etaText() const;
    QString sizeText() const;
    // Speed and time left mean something only while the worker runs.
    void clearRates();

    // Short site label derived from url; "MEGA" selects the MEGA tool.
    QString platform() const;
    // Whether the title is still the stand-in given when the link was added (its host).
    bool titleIsStandIn() const;

    // Canonical upper-case UUID text: the tool's job id.
    QString jobID() const;

    QJsonObject toJson() const;
    static std::optional<DownloadItem> fromJson(const QJsonObject &object);
};

// The site label of a link, as platform() gives it.
QString siteLabel(const QString &url);
