#pragma once

#include "model/MegaNodeDownload.h"
#include "tool/MegaError.h"

#include <QString>

#include <optional>

namespace MegaDownload {

// Bytes fetched per storage request.
inline constexpr qint64 rangeSize = 4194304;

// A name that is safe as one path component: no separators, at most 180
// characters and 180 bytes, never empty, "." or "..".
QString safeFileName(const QString &name);

// name with " [tag]" put before its extension.
QString taggedName(const QString &name, const QString &tag);

// Downloads one file into folder, resuming from the job's partial file.
// With node, linkText is ignored.
MegaResult<Done> download(const QString &linkText, const QString &folder, const QString &job,
                          const std::optional<MegaNodeDownload> &node);

} // namespace MegaDownload
