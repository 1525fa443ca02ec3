#include "app/records/LinkIntake.h"
#include "model/MegaBase64.h"
#include "tool/MegaLink.h"

#include <QSet>

#include <cstdlib>

// Pasted text as the intake splits it, and MEGA file links as lark-mega reads
// them: accepted links are unique, whole tokens, and a parsed file link always
// carries a usable handle and key.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const AcceptedURLs accepted = acceptedURLs(text);
    QSet<QString> seen;
    for (const QString &url : accepted.urls) {
        if (url.isEmpty() || seen.contains(url) || !text.contains(url))
            std::abort();
        for (const QChar c : url) {
            if (c.isSpace())
                std::abort();
        }
        seen.insert(url);
    }

    const auto link = MegaLink::parse(text);
    if (link) {
        if (!validMegaHandle(link->handle()) || link->key().size() != 32 || link->aesKey().size() != 16 ||
            link->nonce().size() != 8 || link->expectedMac().size() != 8)
            std::abort();
        if (!MegaLink::fromParts(link->handle(), link->key()))
            std::abort();
    }
    return 0;
}
