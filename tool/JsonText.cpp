#include "tool/JsonText.h"

MegaResult<QJsonDocument> parseJson(const QByteArray &text)
{
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        return MegaError{
            QStringLiteral("The data is not valid JSON (%1 at offset %2).").arg(error.errorString()).arg(error.offset)};
    return document;
}
