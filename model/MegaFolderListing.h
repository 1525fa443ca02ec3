#pragma once

#include "model/JsonArrayStream.h"
#include "model/MegaFolderNode.h"

#include <QByteArray>
#include <QList>
#include <QSet>
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

    // Compact JSON text with no trailing line break.
    QByteArray toJsonText() const;
    // That text up to the nodes, which follow it comma-separated, then "]}".
    QByteArray headJsonText() const;

    static std::optional<MegaFolderListing> fromJsonText(const QByteArray &text);

    bool operator==(const MegaFolderListing &) const = default;
};

// Reads a listing's text as it arrives, a node at a time, so the text of a
// large listing is never held whole beside the nodes made from it.
class MegaFolderListingReader {
public:
    MegaFolderListingReader();
    // False once the text cannot be a listing.
    bool feed(QByteArrayView text);
    qsizetype nodesRead() const { return m_listing.nodes.size(); }
    std::optional<MegaFolderListing> finish();

private:
    MegaFolderListing m_listing;
    QSet<QString> m_parents;
    bool m_nodesValid = true;
    JsonArrayStream m_stream;
};
