#pragma once

#include "model/Result.h"
#include "model/WorkerProtocol.h"

#include <QString>

// The tool's error: one sentence, shown to the user exactly as it stands,
// and its kind, by which the application decides what to do next.
struct MegaError {
    MegaError() = default;
    MegaError(QString message, FailureKind kind = FailureKind::input, std::optional<qint64> waitSeconds = {}) :
        message(std::move(message)),
        kind(kind),
        waitSeconds(waitSeconds)
    {}

    QString message;
    FailureKind kind = FailureKind::input;
    std::optional<qint64> waitSeconds; // until a quota resets, when MEGA said

    QString description() const { return message; }
    bool operator==(const MegaError &) const = default;
};

template <typename T>
using MegaResult = Result<T, MegaError>;

// For steps that produce nothing but may fail.
struct Done {};
inline constexpr Done done{};

inline MegaError megaError(const char *message, FailureKind kind = FailureKind::input)
{
    return MegaError{QString::fromUtf8(message), kind, std::nullopt};
}
