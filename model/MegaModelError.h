#pragma once

#include <QString>

// The one error type of the shared model. The message is what the user sees,
// unchanged.
struct MegaModelError {
    QString message;

    QString description() const { return message; }
    bool operator==(const MegaModelError &) const = default;
};
