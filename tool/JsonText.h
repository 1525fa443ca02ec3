#pragma once

#include "tool/MegaError.h"

#include <QByteArray>
#include <QJsonDocument>

// Parses JSON text; a failure carries the parser's own description.
MegaResult<QJsonDocument> parseJson(const QByteArray &text);
