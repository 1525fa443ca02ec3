#pragma once

#include "model/MegaFolderNode.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The decrypted listing of one share, as the tool prints it.
struct MegaFolderListing {
    QString sourceURL;
    QString shareHandle;
    QString rootID;
    QString initialFolderID;
    std::optional<QString> initialFileID;
    QList<MegaFolderNode> nodes;
    qint64 skippedNodes = 0;

    QJsonObject toJson() const;
    // Compact JSON text with no trailing line break.
    QByteArray toJsonText() const;

    static std::optional<MegaFolderListing> fromJson(const QJsonObject &object);
    static std::optional<MegaFolderListing> fromJsonText(const QByteArray &text);

    bool operator==(const MegaFolderListing &) const = default;
};
