#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// One file or folder of a MEGA share, as decrypted from its listing.
struct MegaFolderNode {
    QString id;
    std::optional<QString> parent;
    QString name;
    bool isFolder = false;
    qint64 size = 0;
    // A file's 32-byte key in URL-safe base64, empty for folders: ASCII text,
    // kept as bytes since a million of them take half the room so.
    QByteArray key;

    bool isVideo() const;
    QString formattedSize() const;

    QJsonObject toJson() const;
    // The same object as compact JSON text, appended to out.
    void appendJsonText(QByteArray &out) const;
    static std::optional<MegaFolderNode> fromJson(const QJsonObject &object);
    // The same from one object's text; a listing holds millions of them.
    static std::optional<MegaFolderNode> fromJsonText(QByteArrayView text);

    bool operator==(const MegaFolderNode &) const = default;
};

// Nothing in a node points into itself, so a list of a million grows by
// moving its block instead of copying every node into a new one.
Q_DECLARE_TYPEINFO(MegaFolderNode, Q_RELOCATABLE_TYPE);

// True when the text after the last "." of name, lower-cased, is a video extension.
bool hasVideoExtension(const QString &name);
