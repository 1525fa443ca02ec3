#pragma once

#include <QString>
#include <QWidget>

// The first child widget of type T whose text is exactly this, or null.
template <typename T>
T *childWithText(QWidget &parent, const QString &text)
{
    for (T *widget : parent.findChildren<T *>()) {
        if (widget->text() == text)
            return widget;
    }
    return nullptr;
}
