#pragma once

#include "model/MegaModelError.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// Everything needed to fetch, decrypt and check one file of a share without
// listing the folder again.
struct MegaNodeDownload {
    // The most folders a file is kept under; a description with more is invalid.
    static constexpr qsizetype maxFolderDepth = 64;

    QString shareHandle;
    QString nodeHandle;
    QString fileKey;
    QString name;
    qint64 size = 0;
    // The folders the file is in, from the top of the share down, as MEGA
    // names them; empty when it is saved straight into the download folder.
    QStringList folders;

    // Two descriptions with the same identity denote the same file of the same share.
    QString identity() const;

    // Empty when the description can be used; otherwise the error to show.
    std::optional<MegaModelError> validate() const;

    QJsonObject toJson() const;
    QByteArray toJsonText() const;
    static std::optional<MegaNodeDownload> fromJson(const QJsonObject &object);
    static std::optional<MegaNodeDownload> fromJsonText(const QByteArray &text);

    bool operator==(const MegaNodeDownload &) const = default;
};
