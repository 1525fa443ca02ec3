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
