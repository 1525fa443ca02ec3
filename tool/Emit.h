#pragma once

#include <QByteArray>
#include <QString>

// Writes one line to standard output, made printable (no line break or other
// control character of a name can start a line of its own), and flushes, so
// the application sees whole lines at once.
void emitLine(const QString &line);

// Writes bytes to standard output as they are, with nothing added.
bool writeRaw(const QByteArray &bytes);
