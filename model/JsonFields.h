#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// Strict reading of one JSON object: a missing required key or a value of the
// wrong type marks the whole read as failed, so callers check ok() once at the
// end. A null value counts as absent for optional keys.
class JsonFields {
public:
    explicit JsonFields(const QJsonObject &object) : m_object(object) {}

    QString string(QLatin1StringView key);
    std::optional<QString> optionalString(QLatin1StringView key);
    bool boolean(QLatin1StringView key);
    qint64 integer(QLatin1StringView key);
    double number(QLatin1StringView key);
    QJsonArray array(QLatin1StringView key);
    std::optional<QJsonObject> optionalObject(QLatin1StringView key);

    void fail() { m_ok = false; }
    bool ok() const { return m_ok; }

private:
    QJsonValue required(QLatin1StringView key);

    QJsonObject m_object;
    bool m_ok = true;
};

// A JSON number that is an exact 64-bit integer: 12 or 12.0, not 1.5 or "12".
std::optional<qint64> strictInteger(const QJsonValue &value);

// Parses one JSON object from bytes; nothing when the text is not one object.
std::optional<QJsonObject> parseJsonObject(const QByteArray &bytes);

// Appends text as a JSON string, quotes included: quotes, backslashes,
// control characters and unpaired surrogates escaped, the rest as UTF-8.
void appendJsonString(QByteArray &out, QStringView text);
