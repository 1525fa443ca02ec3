#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// True for exactly eight characters of A-Z, a-z, 0-9, "_" and "-".
bool validMegaHandle(QStringView text);

// Decodes MEGA's unpadded URL-safe base64; nothing for empty or malformed text.
std::optional<QByteArray> megaBase64Data(QStringView text);

// The inverse: URL-safe base64 without padding.
QString megaBase64String(const QByteArray &data);
