#include "model/WorkerProtocol.h"

#include <QList>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

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

namespace {

constexpr std::array<std::pair<FailureKind, const char *>, 8> kindNames{{
    {FailureKind::network, "network"},
    {FailureKind::busy, "busy"},
    {FailureKind::quota, "quota"},
    {FailureKind::notFound, "notFound"},
    {FailureKind::access, "access"},
    {FailureKind::integrity, "integrity"},
    {FailureKind::disk, "disk"},
    {FailureKind::input, "input"},
}};

// Byte counts beyond this are no file anyone downloads (and past it a double stops being exact).
constexpr double largestCount = 9.0e15;

bool isFieldSpace(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QStringView trimmedField(QStringView field)
{
    while (!field.isEmpty() && isFieldSpace(field.front()))
        field = field.sliced(1);
    while (!field.isEmpty() && isFieldSpace(field.back()))
        field.chop(1);
    return field;
}

// A plain decimal number in the C locale, whatever locale the application runs in.
std::optional<double> decimal(QStringView field)
{
    const QByteArray bytes = field.toLatin1();
    if (bytes.isEmpty() || bytes.size() > 40 ||
        !std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; }))
        return std::nullopt;
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    char *end = nullptr;
    const double value = strtod_l(bytes.constData(), &end, cLocale);
    if (end != bytes.constData() + bytes.size() || !std::isfinite(value) || value > largestCount)
        return std::nullopt;
    return value;
}

std::optional<qint64> count(QStringView field)
{
    const auto value = decimal(field);
    return value ? std::optional<qint64>(std::llround(*value)) : std::nullopt;
}

} // namespace

QString failureKindName(FailureKind kind)
{
    for (const auto &[known, name] : kindNames) {
        if (known == kind)
            return QLatin1String(name);
    }
    return QStringLiteral("input");
}

std::optional<FailureKind> failureKindFromName(QStringView name)
{
    for (const auto &[kind, known] : kindNames) {
        if (name == QLatin1String(known))
            return kind;
    }
    return std::nullopt;
}

bool mayPass(FailureKind kind)
{
    return kind == FailureKind::network || kind == FailureKind::busy || kind == FailureKind::quota;
}

QString failureLine(const WorkerFailure &failure)
{
    QString line = QLatin1String(WorkerProtocol::failure) + failureKindName(failure.kind);
    if (failure.waitSeconds)
        line += QLatin1Char('|') + QString::number(*failure.waitSeconds);
    return line;
}

std::optional<WorkerFailure> parseFailureLine(QStringView line)
{
    if (!line.startsWith(QLatin1String(WorkerProtocol::failure)))
        return std::nullopt;
    const QStringView rest = line.sliced(qstrlen(WorkerProtocol::failure));
    const qsizetype bar = rest.indexOf(QLatin1Char('|'));
    const auto kind = failureKindFromName(bar < 0 ? rest : rest.first(bar));
    if (!kind)
        return std::nullopt;
    WorkerFailure failure{*kind, std::nullopt};
    if (bar >= 0 && *kind == FailureKind::quota)
        failure.waitSeconds = quotaWaitSeconds(rest.sliced(bar + 1).toLatin1());
    return failure;
}

std::optional<WorkerProgress> parseProgressLine(QStringView line)
{
    if (!line.startsWith(QLatin1String(WorkerProtocol::progress)))
        return std::nullopt;
    QList<QStringView> fields;
    for (QStringView field : line.tokenize(QLatin1Char('|'))) {
        fields.append(trimmedField(field));
        if (fields.size() == 10)
            break;
    }
    if (fields.size() < 5)
        return std::nullopt;
    WorkerProgress progress;
    QStringView percent = fields[1];
    if (percent.endsWith(QLatin1Char('%')))
        percent.chop(1);
    progress.percent = std::min(decimal(trimmedField(percent)).value_or(0), 100.0);
    if (fields.size() >= 9) {
        progress.bytesDone = count(fields[5]);
        progress.bytesTotal = count(fields[6]);
        progress.bytesPerSecond = decimal(fields[7]);
        progress.secondsLeft = count(fields[8]);
        // A total of nothing says nothing.
        if (progress.bytesTotal == 0)
            progress.bytesTotal.reset();
    }
    if (fields.size() >= 10 && fields[9] != QLatin1String("NA"))
        progress.stream = fields[9].left(64).toString();
    return progress;
}

QString megaProgressLine(qint64 bytesDone, qint64 bytesTotal, double bytesPerSecond, std::optional<qint64> secondsLeft)
{
    constexpr double mebibyte = 1048576.0;
    const double percent =
        bytesTotal > 0 ? static_cast<double>(bytesDone) / static_cast<double>(bytesTotal) * 100.0 : 100.0;
    const long long left = secondsLeft.value_or(0);
    // snprintf rather than QString::arg: the format is fixed in the C locale.
    char line[240];
    std::snprintf(line, sizeof line, "%s%.1f%%|%.2f MiB/s|%lld:%02lld|%.1f MiB|%lld|%lld|%.0f|",
                  WorkerProtocol::progress, percent, bytesPerSecond / mebibyte, left / 60, left % 60,
                  static_cast<double>(bytesTotal) / mebibyte, static_cast<long long>(bytesDone),
                  static_cast<long long>(bytesTotal), bytesPerSecond);
    QString text = QString::fromLatin1(line);
    text += secondsLeft ? QString::number(*secondsLeft) : QStringLiteral("NA");
    return text;
}
