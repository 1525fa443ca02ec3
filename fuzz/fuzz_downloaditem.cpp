#include "app/records/DownloadItem.h"
#include "model/JsonFields.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto object = parseJsonObject(text);
    if (!object)
        return 0;
    const auto item = DownloadItem::fromJson(*object);
    if (!item)
        return 0;
    item->platform();
    const auto again = DownloadItem::fromJson(item->toJson());
    if (!again || again->id != item->id || again->state != item->state || again->megaNode != item->megaNode ||
        again->file != item->file)
        std::abort();
    return 0;
}
