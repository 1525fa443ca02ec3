#include "model/WorkerProtocol.h"

#include <cstdio>

QString megaProgressLine(double percent, double mibPerSecond, long long secondsLeft, double sizeMiB)
{
    // snprintf rather than QString::arg: the format is fixed in the C locale.
    char line[160];
    std::snprintf(line, sizeof line, "%s%.1f%%|%.2f MiB/s|%lld:%02lld|%.1f MiB", WorkerProtocol::progress, percent,
                  mibPerSecond, secondsLeft / 60, secondsLeft % 60, sizeMiB);
    return QString::fromLatin1(line);
}
