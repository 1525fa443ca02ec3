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
// What kind of failure the next ERROR line is, so no one has to read its sentence.
inline constexpr const char *failure = "LARK_FAILURE|";
// The streams yt-dlp is about to fetch ("137+140") and their size when known.
inline constexpr const char *streams = "LARK_STREAMS|";
// The height of the video yt-dlp is about to fetch, "NA" when the source does not say.
inline constexpr const char *height = "LARK_HEIGHT|";
// The end of one file of a tool run that fetches several, with the exit
// status a run of its own would have had: "LARK_END|0".
inline constexpr const char *end = "LARK_END|";
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

// Why a worker stopped, as far as deciding what to do next goes.
enum class FailureKind { network, busy, quota, notFound, access, integrity, disk, input };

QString failureKindName(FailureKind kind);
std::optional<FailureKind> failureKindFromName(QStringView name);
// Whether a failure of this kind may pass by itself, so trying again later can succeed.
bool mayPass(FailureKind kind);

struct WorkerFailure {
    FailureKind kind = FailureKind::input;
    // How long until a quota resets, when the server said.
    std::optional<qint64> waitSeconds;

    bool operator==(const WorkerFailure &) const = default;
};

// "LARK_FAILURE|quota|2501", "LARK_FAILURE|network".
QString failureLine(const WorkerFailure &failure);
std::optional<WorkerFailure> parseFailureLine(QStringView line);

// One progress line in numbers. The line keeps its first four fields for
// readers that know only those (percent, speed, time left and size as text);
// bytes done, bytes in all, bytes a second, seconds left and the stream follow.
struct WorkerProgress {
    double percent = 0; // always within 0 to 100
    std::optional<qint64> bytesDone;
    std::optional<qint64> bytesTotal;
    std::optional<double> bytesPerSecond;
    std::optional<qint64> secondsLeft;
    QString stream; // which of several streams yt-dlp is fetching; empty otherwise

    bool operator==(const WorkerProgress &) const = default;
};

std::optional<WorkerProgress> parseProgressLine(QStringView line);

// The tool's progress line: percent with one decimal, MiB/s with two,
// minutes:seconds left (minutes not folded into hours) and the size in MiB,
// then the numbers.
QString megaProgressLine(qint64 bytesDone, qint64 bytesTotal, double bytesPerSecond, std::optional<qint64> secondsLeft);
