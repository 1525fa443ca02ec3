#pragma once

#include "app/records/DownloadState.h"
#include "model/MegaNodeDownload.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <optional>

// "No value" in an item's speed, time left and size.
inline const QString noValue = QStringLiteral("\u2014");

// The record of one download. Items are values: views and notices get copies
// and address the manager by id.
struct DownloadItem {
    DownloadItem(QString url, QString title, QString folder, QString quality, QString browser,
                 QUuid id = QUuid::createUuid(), DownloadState state = DownloadState::queued, double progress = 0,
                 QString speed = noValue, QString eta = noValue, QString size = noValue,
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
    QString speed;
    QString eta;
    QString size;
    QString detail;
    std::optional<QString> file;
    QDateTime created;
    std::optional<MegaNodeDownload> megaNode;

    // Short site label derived from url; "MEGA" selects the MEGA tool.
    QString platform() const;

    // Canonical upper-case UUID text: the tool's job id.
    QString jobID() const;

    QJsonObject toJson() const;
    static std::optional<DownloadItem> fromJson(const QJsonObject &object);
};

// The site label of a link, as platform() gives it.
QString siteLabel(const QString &url);
