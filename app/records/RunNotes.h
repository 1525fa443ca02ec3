#pragma once

#include <QString>

#include <optional>

// What one run of a worker says besides its item's fields: how many videos
// its link holds, and the Python traceback yt-dlp dies with when it cannot
// read a browser's cookies (it prints no error line then).
class RunNotes {
public:
    void take(const QString &line);

    // The number of videos yt-dlp found behind the link; 0 when it said nothing.
    int entries() const { return m_entries; }

    // Why the signed-in browser could not be used, in one sentence, when the
    // run died reading its cookies.
    std::optional<QString> cookieFailure(const QString &browser) const;

private:
    int m_entries = 0;
    bool m_inCookies = false;
    QString m_exception; // the kind of the last exception line, "FileNotFoundError"
    QString m_reason;    // and what it said
};
