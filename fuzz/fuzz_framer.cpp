#include "app/records/LineFramer.h"

#include <cstdlib>

namespace {

QStringList frameAll(const QByteArray &bytes, qsizetype chunkSize)
{
    LineFramer framer;
    QStringList lines;
    for (qsizetype at = 0; at < bytes.size(); at += chunkSize)
        lines += framer.append(QByteArrayView(bytes).sliced(at, std::min(chunkSize, bytes.size() - at)));
    if (const auto last = framer.finish())
        lines.append(*last);
    return lines;
}

} // namespace

// Below the cap, how the stream is cut into reads must not change the lines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const qsizetype chunkSize = data[0] % 17 + 1;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    const QStringList whole = frameAll(bytes, qMax<qsizetype>(1, bytes.size()));
    if (whole != frameAll(bytes, chunkSize))
        std::abort();
    qsizetype terminators = bytes.count('\n') + bytes.count('\r');
    if (whole.size() != terminators && whole.size() != terminators + 1)
        std::abort();
    return 0;
}
