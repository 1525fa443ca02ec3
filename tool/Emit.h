#pragma once

#include <QByteArray>
#include <QString>

// Writes one line to standard output, line feeds inside it turned into
// spaces, and flushes, so the application sees whole lines at once.
void emitLine(const QString &line);

// Writes bytes to standard output as they are, with nothing added.
bool writeRaw(const QByteArray &bytes);
