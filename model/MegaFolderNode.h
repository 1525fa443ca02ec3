#pragma once

#include <QByteArrayView>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <optional>

// A file's key as a listing holds it: ASCII text (URL-safe base64 of 32
// bytes), empty for folders. It is held in place: a million keys on the heap
// took 100 MB, a third of a large listing.
class MegaFileKey {
public:
    static constexpr qsizetype capacity = 47;

    MegaFileKey() = default;
    // Nothing for text that is longer than capacity or not ASCII.
    static std::optional<MegaFileKey> fromText(QByteArrayView text)
    {
        if (text.size() > capacity || std::any_of(text.begin(), text.end(), [](char c) { return c & 0x80; }))
            return std::nullopt;
        MegaFileKey key;
        std::copy(text.begin(), text.end(), key.m_text);
        key.m_size = static_cast<quint8>(text.size());
        return key;
    }

    QByteArrayView text() const { return {m_text, m_size}; }
    QString toString() const { return QString::fromLatin1(text()); }
    bool isEmpty() const { return m_size == 0; }
    bool operator==(const MegaFileKey &other) const { return text() == other.text(); }

private:
    char m_text[capacity] = {};
    quint8 m_size = 0;
};

// One file or folder of a MEGA share, as decrypted from its listing.
struct MegaFolderNode {
    QString id;
    std::optional<QString> parent;
    QString name;
    bool isFolder = false;
    qint64 size = 0;
    MegaFileKey key;

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
