#pragma once

#include <QString>
#include <QUuid>

// A folder link waiting to be browsed; each request gets its own browser.
struct MegaFolderRequest {
    explicit MegaFolderRequest(QString link);

    QUuid id;
    QString url;

    bool operator==(const MegaFolderRequest &) const = default;
};
