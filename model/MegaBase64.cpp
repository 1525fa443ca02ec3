#include "model/MegaBase64.h"

#include <algorithm>

namespace {

bool isHandleCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u'_' || u == u'-';
}

} // namespace

bool validMegaHandle(QStringView text)
{
    return text.size() == 8 && std::all_of(text.begin(), text.end(), isHandleCharacter);
}

std::optional<QByteArray> megaBase64Data(QStringView text)
{
    if (text.isEmpty() || !std::all_of(text.begin(), text.end(), isHandleCharacter))
        return std::nullopt;
    QByteArray standard = text.toLatin1();
    standard.replace('-', '+').replace('_', '/');
    standard.append((4 - standard.size() % 4) % 4, '=');
    auto decoded = QByteArray::fromBase64Encoding(standard, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return decoded.decoded;
}

QString megaBase64String(const QByteArray &data)
{
    return QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}
