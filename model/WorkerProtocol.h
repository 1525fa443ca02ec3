#pragma once

// Line markers by which workers report to the application. The tool writes
// them and the application reads them, so both take them from here.
namespace WorkerProtocol {
inline constexpr const char *progress = "LARK_PROGRESS|";
inline constexpr const char *title = "LARK_TITLE|";
inline constexpr const char *file = "LARK_FILE|";
inline constexpr const char *status = "LARK_STATUS|";
inline constexpr const char *error = "ERROR:";
inline constexpr const char *merger = "[Merger]";
inline constexpr const char *extractAudio = "[ExtractAudio]";
} // namespace WorkerProtocol

#include <QString>

// The tool's progress line: percent with one decimal, MiB/s with two,
// minutes:seconds left (minutes not folded into hours) and the size in MiB.
QString megaProgressLine(double percent, double mibPerSecond, long long secondsLeft, double sizeMiB);
