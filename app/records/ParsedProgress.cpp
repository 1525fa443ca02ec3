#include "app/records/ParsedProgress.h"

#include "app/records/DownloadItem.h"
#include "model/WorkerProtocol.h"

#include <QList>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace {

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

// strtod in the C locale, whatever locale the application runs in.
double percentValue(QStringView field)
{
    QString text = field.toString();
    text.remove(QLatin1Char('%'));
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty() || std::isspace(static_cast<unsigned char>(bytes.front())))
        return 0;
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    char *end = nullptr;
    const double value = strtod_l(bytes.constData(), &end, cLocale);
    if (end != bytes.constData() + bytes.size() || std::isnan(value) || value < 0)
        return 0;
    return std::min(value, 100.0);
}

QString textOrNoValue(QStringView field)
{
    if (field == QLatin1String("NA") || field == QLatin1String("Unknown") || field == QLatin1String("None"))
        return noValue;
    return field.toString();
}

} // namespace

std::optional<ParsedProgress> ParsedProgress::parse(QStringView line)
{
    if (!line.startsWith(QLatin1String(WorkerProtocol::progress)))
        return std::nullopt;
    QList<QStringView> fields;
    for (QStringView field : line.tokenize(QLatin1Char('|'))) {
        fields.append(trimmedField(field));
        if (fields.size() == 5)
            break;
    }
    if (fields.size() < 5)
        return std::nullopt;
    return ParsedProgress{percentValue(fields[1]), textOrNoValue(fields[2]), textOrNoValue(fields[3]),
                          textOrNoValue(fields[4])};
}
