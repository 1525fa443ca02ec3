#pragma once

#include "model/MegaFolderLink.h"
#include "model/MegaFolderListing.h"
#include "tool/MegaError.h"

#include <QHash>
#include <QJsonObject>

#include <vector>

// Fetches a shared folder's node list and turns it into a decrypted listing.
namespace MegaFolderEngine {

// A listing as the text the tool prints: head, then the nodes, then "]}".
struct ListingText {
    QByteArray head;
    QByteArray nodes;
    QByteArray tail;
};

// Decrypts a share's entries one at a time as they arrive, keeping each node
// only as its text and the little needed to find the root and the linked node.
class Decoder {
public:
    Decoder(const MegaFolderLink &link, QByteArray folderKey);

    void add(QByteArrayView entryText);
    void add(const QJsonValue &entry);
    MegaResult<ListingText> finish();

private:
    struct Node {
        quint64 handle;
        quint64 parent; // 0: none, or not a node's handle
        bool isFolder;
    };
    const Node *find(quint64 handle) const;

    MegaFolderLink m_link;
    QByteArray m_folderKey;
    std::vector<Node> m_nodes;
    QHash<quint64, qsizetype> m_index;
    QByteArray m_text;
    qint64 m_skipped = 0;
    bool m_malformed = false;
};

MegaResult<ListingText> fetch(const QString &url);
MegaResult<ListingText> decode(const QJsonObject &response, const MegaFolderLink &link);

} // namespace MegaFolderEngine
