#include "model/JsonFields.h"

#include <QCborValue>
#include <QJsonDocument>

#include <cmath>

std::optional<qint64> strictInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const QCborValue cbor = QCborValue::fromJsonValue(value);
    if (cbor.isInteger())
        return cbor.toInteger();
    const double number = value.toDouble();
    // 2^63 is exactly representable; everything below it and at or above -2^63 fits.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(number) || number != std::trunc(number) || number < -limit || number >= limit)
        return std::nullopt;
    return static_cast<qint64>(number);
}

std::optional<QJsonObject> parseJsonObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

QJsonValue JsonFields::required(QLatin1StringView key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined())
        m_ok = false;
    return value;
}

QString JsonFields::string(QLatin1StringView key)
{
    const QJsonValue value = required(key);
    if (!value.isString())
        m_ok = false;
    return value.toString();
}

std::optional<QString> JsonFields::optionalString(QLatin1StringView key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString()) {
        m_ok = false;
        return std::nullopt;
    }
    return value.toString();
}

bool JsonFields::boolean(QLatin1StringView key)
{
    const QJsonValue value = required(key);
    if (!value.isBool())
        m_ok = false;
    return value.toBool();
}

qint64 JsonFields::integer(QLatin1StringView key)
{
    const auto integer = strictInteger(required(key));
    if (!integer)
        m_ok = false;
    return integer.value_or(0);
}

double JsonFields::number(QLatin1StringView key)
{
    const QJsonValue value = required(key);
    if (!value.isDouble())
        m_ok = false;
    return value.toDouble();
}

QJsonArray JsonFields::array(QLatin1StringView key)
{
    const QJsonValue value = required(key);
    if (!value.isArray())
        m_ok = false;
    return value.toArray();
}

std::optional<QJsonObject> JsonFields::optionalObject(QLatin1StringView key)
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isObject()) {
        m_ok = false;
        return std::nullopt;
    }
    return value.toObject();
}

void appendJsonString(QByteArray &out, QStringView text)
{
    static constexpr char hex[] = "0123456789abcdef";
    const auto escaped = [&out](char16_t unit) {
        out.append("\\u");
        for (int shift = 12; shift >= 0; shift -= 4)
            out.append(hex[(unit >> shift) & 0xf]);
    };
    out.append('"');
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (unit == u'"' || unit == u'\\') {
            out.append('\\').append(static_cast<char>(unit));
        } else if (unit < 0x20) {
            escaped(unit);
        } else if (unit < 0x80) {
            out.append(static_cast<char>(unit));
        } else if (unit < 0x800) {
            out.append(static_cast<char>(0xc0 | (unit >> 6))).append(static_cast<char>(0x80 | (unit & 0x3f)));
        } else if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
                   QChar::isLowSurrogate(text[i + 1].unicode())) {
            const char32_t point = QChar::surrogateToUcs4(unit, text[++i].unicode());
            out.append(static_cast<char>(0xf0 | (point >> 18)))
                .append(static_cast<char>(0x80 | ((point >> 12) & 0x3f)))
                .append(static_cast<char>(0x80 | ((point >> 6) & 0x3f)))
                .append(static_cast<char>(0x80 | (point & 0x3f)));
        } else if (QChar::isSurrogate(unit)) {
            escaped(unit);
        } else {
            out.append(static_cast<char>(0xe0 | (unit >> 12)))
                .append(static_cast<char>(0x80 | ((unit >> 6) & 0x3f)))
                .append(static_cast<char>(0x80 | (unit & 0x3f)));
        }
    }
    out.append('"');
}
