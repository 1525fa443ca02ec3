#pragma once

#include "app/records/DownloadItem.h"

#include <QObject>
#include <QThreadPool>

#include <functional>
#include <optional>
#include <vector>

// The history file "queue.json": reading it back, keeping a file that cannot
// be read whole aside before anything replaces it, and writing it, newest
// first, on a background thread of its own. Main thread only, but for the
// writes themselves.
class HistoryFile : public QObject {
    Q_OBJECT

public:
    // snapshot gives the list to write, oldest first, at the moment a write starts.
    HistoryFile(const QString &directory, std::function<std::vector<DownloadItem>()> snapshot,
                QObject *parent = nullptr);
    ~HistoryFile() override;

    QString path() const { return m_path; }

    struct Loaded {
        std::vector<DownloadItem> items; // oldest first
        // One sentence for the user when anything could not be read; empty otherwise.
        QString notice;
    };
    // Every item that decodes; the rest is skipped, with the whole file kept
    // first as "queue.json.unreadable-" and the date and time.
    Loaded read();

    // Writes the list now, after any write still under way; the error, if any.
    std::optional<QString> writeNow();
    // Writes on the background thread; a request during a write is served
    // once, after it, with the list as it is then.
    void writeInBackground();

Q_SIGNALS:
    void written();
    void failed(const QString &error);

private:
    std::optional<QString> write(const std::vector<DownloadItem> &items) const;
    void backgroundWriteEnded(const std::optional<QString> &error);
    std::optional<QString> keepAside(QString &copy) const;

    QString m_directory;
    QString m_path;
    std::function<std::vector<DownloadItem>()> m_snapshot;
    // Set when an unreadable file could not be kept aside: it is then never replaced.
    std::optional<QString> m_protected;
    QThreadPool m_writer;
    bool m_writing = false;
    bool m_writeAgain = false;
};
