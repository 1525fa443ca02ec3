#include "model/MegaFolderLink.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const bool recognized = MegaFolderLink::recognizes(text);
    const auto link = MegaFolderLink::parse(text);
    if (link.ok() && !recognized)
        std::abort();
    if (link.ok()) {
        // The canonical form must parse back to the same share.
        const auto again = MegaFolderLink::parse(link->canonicalURL());
        if (!again.ok() || again->handle() != link->handle() || again->key() != link->key() || again->selectedHandle())
            std::abort();
    }
    return 0;
}
