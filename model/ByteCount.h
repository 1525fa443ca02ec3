#pragma once

#include <QString>

#include <optional>

// A byte count the way a file manager's size column writes it: decimal units
// (1 kB = 1000 B), one decimal, carried to the next unit when rounding reaches
// 1000 (999,999 bytes is "1.0 MB").
QString formatByteCount(qint64 bytes);

// A speed the same way: "2.4 MB/s".
QString formatByteRate(double bytesPerSecond);

// A time left as a clock shows it: "0:42", "12:05", "1:02:07".
QString formatDuration(qint64 seconds);

// A size as earlier versions stored it, in whatever units the worker wrote
// ("384.39KiB", "0.4 MiB", "~393.6 kB"); nothing when it is no size.
std::optional<qint64> parseByteCount(QStringView text);
