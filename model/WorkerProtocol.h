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
// yt-dlp's count of the videos behind a link that holds several.
inline constexpr const char *entries = "LARK_ENTRIES|";
} // namespace WorkerProtocol

#include <QByteArrayView>
#include <QString>

#include <optional>

// Text from outside (a MEGA name, a page title) made safe to print on one
// protocol line and to show: line breaks and tabs become spaces, every other
// control character (C0, DEL, C1) and the bidirectional overrides and
// isolates are removed, so no such text can start a line of its own or
// reorder what is shown around it.
QString printableText(const QString &text);

// MEGA says how long until its transfer quota resets; a wait longer than this
// is no wait anyone would sit out, and is taken for a false answer.
inline constexpr qint64 longestQuotaWaitSeconds = 3 * 24 * 3600;

// The seconds of an X-MEGA-Time-Left header: a plain decimal number up to the
// longest wait, nothing otherwise.
std::optional<qint64> quotaWaitSeconds(QByteArrayView text);

// The tool's progress line: percent with one decimal, MiB/s with two,
// minutes:seconds left (minutes not folded into hours) and the size in MiB.
QString megaProgressLine(double percent, double mibPerSecond, long long secondsLeft, double sizeMiB);
