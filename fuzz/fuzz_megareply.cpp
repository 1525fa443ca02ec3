#include "model/MegaFolderLink.h"
#include "tool/JsonText.h"
#include "tool/MegaCrypto.h"
#include "tool/MegaFolderEngine.h"

#include <QJsonObject>

#include <cstdlib>

// A MEGA "f" reply as the folder engine decodes it, and attribute blocks as
// the crypto reads them: neither may crash or produce an unreadable listing.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const auto link =
        MegaFolderLink::parse(QStringLiteral("https://mega.nz/folder/AbCdEfGh#ABEiM0RVZneImaq7zN3u_w/folder/ROOTnode"));
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto document = parseJson(text);
    if (document && document->isObject()) {
        const auto listing = MegaFolderEngine::decode(document->object(), *link);
        if (listing && !MegaFolderListing::fromJsonText(listing->head + listing->nodes + listing->tail))
            std::abort();
    }
    megaAttributeName(QString::fromLatin1(text), QByteArray(16, 'k'));
    return 0;
}
