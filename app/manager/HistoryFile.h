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
    // What to write, oldest first: each item as encode() made it where that
    // text is kept, and the items it is not kept for, to be encoded by the
    // writer. The main thread then neither copies nor encodes what did not change.
    struct Snapshot {
        std::vector<QByteArray> encoded; // empty where an item is among toEncode
        struct Item {
            size_t position;
            quint64 revision; // handed back with its text, to tell whether the item changed since
            DownloadItem item;
        };
        std::vector<Item> toEncode;
    };
    struct Encoded {
        QUuid id;
        quint64 revision;
        QByteArray text;
    };
    HistoryFile(const QString &directory, std::function<Snapshot()> snapshot, QObject *parent = nullptr);

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
    // Items the writer encoded, for the snapshot to keep.
    void encoded(const std::vector<HistoryFile::Encoded> &items);
    void failed(const QString &error);

private:
    // Encodes what is to be, keeping the texts in encodedNow, and writes.
    std::optional<QString> write(Snapshot snapshot, std::vector<Encoded> &encodedNow) const;
    void backgroundWriteEnded(const std::optional<QString> &error);
    std::optional<QString> keepAside(QString &copy) const;

    QString m_directory;
    QString m_path;
    std::function<Snapshot()> m_snapshot;
    // Set when an unreadable file could not be kept aside: it is then never replaced.
    std::optional<QString> m_protected;
    QThreadPool m_writer;
    bool m_writing = false;
    bool m_writeAgain = false;
};
