#include "app/records/LinkIntake.h"
#include "app/records/WorkerLine.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString line = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    if (const auto progress = parseProgressLine(line)) {
        if (!(progress->percent >= 0 && progress->percent <= 100) ||
            (progress->bytesDone && *progress->bytesDone < 0) || (progress->bytesTotal && *progress->bytesTotal <= 0) ||
            progress->stream.size() > 64)
            std::abort();
    }
    DownloadItem item(QStringLiteral("https://example.com/v"), QStringLiteral("t"), QStringLiteral("/tmp"),
                      QStringLiteral("Best available"), QStringLiteral("None"));
    item.state = DownloadState::downloading;
    applyWorkerLine(item, line);
    if (item.state != DownloadState::downloading)
        std::abort();
    const AcceptedURLs accepted = acceptedURLs(line);
    for (const QString &url : accepted.urls) {
        if (!line.contains(url))
            std::abort();
    }
    return 0;
}
