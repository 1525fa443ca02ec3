#pragma once

#include <QObject>
#include <QString>

#include <optional>

// Shows a file selected in the desktop's file manager when it exists, and
// opens its folder otherwise (or when no file manager answers on the bus).
// Never waits for the file manager.
void revealInFileManager(const std::optional<QString> &file, const QString &folder, QObject *context);
