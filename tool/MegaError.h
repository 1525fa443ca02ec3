#pragma once

#include "model/Result.h"

#include <QString>

// The tool's error: one sentence, shown to the user exactly as it stands.
struct MegaError {
    QString message;

    QString description() const { return message; }
    bool operator==(const MegaError &) const = default;
};

template <typename T>
using MegaResult = Result<T, MegaError>;

// For steps that produce nothing but may fail.
struct Done {};
inline constexpr Done done{};

inline MegaError megaError(const char *message)
{
    return MegaError{QString::fromUtf8(message)};
}
