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
    // snapshot gives the items to write, each as encode() made it, oldest
    // first, at the moment a write starts: handles to text already made, so
    // the main thread neither copies the items nor encodes what did not change.
    HistoryFile(const QString &directory, std::function<std::vector<QByteArray>()> snapshot, QObject *parent = nullptr);

    // One item as the file holds it.
    static QByteArray encode(const DownloadItem &item);
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
    std::optional<QString> write(const std::vector<QByteArray> &items) const;
    void backgroundWriteEnded(const std::optional<QString> &error);
    std::optional<QString> keepAside(QString &copy) const;

    QString m_directory;
    QString m_path;
    std::function<std::vector<QByteArray>()> m_snapshot;
    // Set when an unreadable file could not be kept aside: it is then never replaced.
    std::optional<QString> m_protected;
    QThreadPool m_writer;
    bool m_writing = false;
    bool m_writeAgain = false;
};
