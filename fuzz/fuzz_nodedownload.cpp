#include "model/MegaNodeDownload.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto node = MegaNodeDownload::fromJsonText(text);
    if (!node)
        return 0;
    node->validate();
    if (MegaNodeDownload::fromJsonText(node->toJsonText()) != node)
        std::abort();
    return 0;
}
