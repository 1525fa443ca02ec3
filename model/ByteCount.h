#pragma once

#include <QString>

// A byte count the way a file manager's size column writes it: decimal units
// (1 kB = 1000 B), one decimal, carried to the next unit when rounding reaches
// 1000 (999,999 bytes is "1.0 MB").
QString formatByteCount(qint64 bytes);
