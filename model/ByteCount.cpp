#include "model/ByteCount.h"

#include <QLocale>

#include <array>
#include <cmath>

QString formatByteCount(qint64 bytes)
{
    if (bytes > -1000 && bytes < 1000)
        return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);

    static constexpr std::array<const char *, 6> units{"kB", "MB", "GB", "TB", "PB", "EB"};
    const double magnitude = std::abs(static_cast<double>(bytes));
    double scaled = magnitude;
    size_t unit = 0;
    double rounded = 0;
    for (; unit < units.size(); ++unit) {
        scaled /= 1000.0;
        rounded = std::round(scaled * 10.0) / 10.0;
        if (rounded < 1000.0 || unit + 1 == units.size())
            break;
    }
    const QString number = QLocale().toString(bytes < 0 ? -rounded : rounded, 'f', 1);
    return number + QLatin1Char(' ') + QLatin1String(units[unit]);
}
