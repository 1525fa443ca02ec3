#pragma once

#include "tool/HttpClient.h"
#include "tool/MegaError.h"

#include <QJsonObject>
#include <QString>

#include <functional>

#include <optional>

// The API endpoint: MEGA's own, or the host and port given in
// LARK_MEGA_API_URL (a mirror, or the emulator in tests), which must be an
// https:// address: anything else is an error, never MEGA's own instead.
MegaResult<QString> megaApiEndpoint();

// Sends one command and returns the first result object, or the error that
// MEGA's reply or the transport stands for. share selects a public folder.
MegaResult<QJsonObject> megaAPI(HttpClient &client, const QJsonObject &command,
                                const std::optional<QString> &share = std::nullopt);

// The same for an answer too large to hold: the elements of the array key in
// the first result go to element one at a time as they arrive, and that
// array is left empty in what is returned. begin is called before each try,
// so a request asked again starts afresh.
MegaResult<QJsonObject> megaAPI(HttpClient &client, const QJsonObject &command, const std::optional<QString> &share,
                                const QByteArray &key, const std::function<void()> &begin,
                                const std::function<void(QByteArrayView)> &element);

// The message for a MEGA error code.
QString megaErrorMessage(qint64 code);
