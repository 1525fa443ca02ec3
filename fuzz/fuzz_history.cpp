#include "app/records/DownloadItem.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdlib>

// The history file as the manager reads it: every element of the array that decodes is kept,
// and what is kept writes back to the same items.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    if (!document.isArray())
        return 0;
    QJsonArray written;
    for (const QJsonValue &value : document.array()) {
        const auto item = DownloadItem::fromJson(value.toObject());
        if (!item)
            continue;
        written.append(item->toJson());
    }
    for (const QJsonValue &value : written) {
        if (!DownloadItem::fromJson(value.toObject()))
            std::abort();
    }
    return 0;
}
