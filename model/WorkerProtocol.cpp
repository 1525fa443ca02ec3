#include "model/WorkerProtocol.h"

#include <algorithm>
#include <cstdio>

namespace {

bool breaksLine(char16_t c)
{
    return c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' || c == 0x85 || c == 0x2028 ||
           c == 0x2029;
}

bool isUnprintable(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

QString printableText(const QString &text)
{
    const auto unsafe = [](QChar c) { return breaksLine(c.unicode()) || isUnprintable(c.unicode()); };
    if (std::none_of(text.cbegin(), text.cend(), unsafe))
        return text;
    QString printable;
    printable.reserve(text.size());
    for (const QChar c : text) {
        if (breaksLine(c.unicode()))
            printable.append(QLatin1Char(' '));
        else if (!isUnprintable(c.unicode()))
            printable.append(c);
    }
    return printable;
}

std::optional<qint64> quotaWaitSeconds(QByteArrayView text)
{
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 7 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const qint64 seconds = text.toLongLong();
    return seconds <= longestQuotaWaitSeconds ? std::optional<qint64>(seconds) : std::nullopt;
}

QString megaProgressLine(double percent, double mibPerSecond, long long secondsLeft, double sizeMiB)
{
    // snprintf rather than QString::arg: the format is fixed in the C locale.
    char line[160];
    std::snprintf(line, sizeof line, "%s%.1f%%|%.2f MiB/s|%lld:%02lld|%.1f MiB", WorkerProtocol::progress, percent,
                  mibPerSecond, secondsLeft / 60, secondsLeft % 60, sizeMiB);
    return QString::fromLatin1(line);
}
