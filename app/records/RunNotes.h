#pragma once

#include "model/WorkerProtocol.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// What one run of a worker says besides its item's fields: how many videos
// its link holds, the kind of its failure, the streams it fetches one after
// another, and the Python traceback yt-dlp dies with when it cannot read a
// browser's cookies (it prints no error line then).
class RunNotes {
public:
    void take(const QString &line);

    // The number of videos yt-dlp found behind the link; 0 when it said nothing.
    int entries() const { return m_entries; }

    // The height of the video fetched; none when the source did not say (or nothing was said).
    std::optional<int> height() const { return m_height; }
    bool saidHeight() const { return m_saidHeight; }

    // The kind of failure the worker said it ended with.
    const std::optional<WorkerFailure> &failure() const { return m_failure; }

    // The progress of the whole download from that of one stream: a video
    // fetched as picture and sound one after the other shows one bar over
    // both, and no bar ever goes back within a run.
    WorkerProgress overall(const WorkerProgress &stream);

    // Why the signed-in browser could not be used, in one sentence, when the
    // run died reading its cookies.
    std::optional<QString> cookieFailure(const QString &browser) const;

private:
    int m_entries = 0;
    std::optional<int> m_height;
    bool m_saidHeight = false;
    std::optional<WorkerFailure> m_failure;
    QStringList m_streams;
    std::optional<qint64> m_streamsTotal;
    struct Counted {
        qint64 done = 0;
        qint64 total = 0;
    };
    QHash<QString, Counted> m_counted;
    double m_percent = 0;
    bool m_inCookies = false;
    QString m_exception; // the kind of the last exception line, "FileNotFoundError"
    QString m_reason;    // and what it said
};
