#include "model/ByteCount.h"

#include <QLocale>
#include <QRegularExpression>

#include <algorithm>
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

QString formatByteRate(double bytesPerSecond)
{
    return formatByteCount(static_cast<qint64>(std::llround(std::clamp(bytesPerSecond, 0.0, 9.0e15)))) +
           QStringLiteral("/s");
}

QString formatDuration(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    if (seconds < 3600)
        return QString::asprintf("%lld:%02lld", seconds / 60, seconds % 60);
    return QString::asprintf("%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

std::optional<qint64> parseByteCount(QStringView text)
{
    static const QRegularExpression pattern(QStringLiteral("^~?\\s*([0-9]+(?:\\.[0-9]+)?)\\s*([kKMGTP]?)(i?)B$"));
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const double number = QLocale::c().toDouble(match.captured(1));
    const QString prefix = match.captured(2).toUpper();
    const double base = match.captured(3).isEmpty() ? 1000.0 : 1024.0;
    const int power = prefix.isEmpty() ? 0 : static_cast<int>(QStringLiteral("KMGTP").indexOf(prefix)) + 1;
    const double bytes = number * std::pow(base, power);
    if (!std::isfinite(bytes) || bytes > 9.0e15)
        return std::nullopt;
    return static_cast<qint64>(std::llround(bytes));
}
