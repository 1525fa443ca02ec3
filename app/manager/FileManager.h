#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// Shows a file selected in the desktop's file manager when it exists, and
// opens its folder otherwise (or when no file manager answers on the bus).
// Never waits for the file manager. When nothing could show it, failed gets
// one sentence saying why.
void revealInFileManager(const std::optional<QString> &file, const QString &folder, QObject *context,
                         std::function<void(const QString &)> failed = {});

// Opens a file with the desktop's application for its type, without waiting
// for it; failed gets one sentence when that did not work.
void openWithDesktop(const QString &file, std::function<void(const QString &)> failed = {});
