#include "model/JsonFields.h"
#include "model/MegaFolderTree.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // A node's own reader and the full JSON parser agree on every text.
    const auto object = parseJsonObject(text);
    if (MegaFolderNode::fromJsonText(text) != (object ? MegaFolderNode::fromJson(*object) : std::nullopt))
        std::abort();
    const auto listing = MegaFolderListing::fromJsonText(text);
    if (!listing)
        return 0;
    if (MegaFolderListing::fromJsonText(listing->toJsonText()) != listing)
        std::abort();
    // A damaged tree must never loop or fail: walk it from every node.
    const MegaFolderTree tree(*listing);
    for (const MegaFolderNode &node : listing->nodes) {
        tree.folders(node.id);
        tree.files(node.id, true, false, QStringLiteral("a"));
        tree.breadcrumbs(node.id);
        tree.relativePath(node, listing->rootID);
    }
    tree.files(listing->rootID, true, true, {});
    return 0;
}
