#pragma once

#include "model/MegaFolderListing.h"
#include "model/MegaFolderTree.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QUuid>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

class MegaFolderBrowserModel;

// Reads a listing on a worker thread as its text arrives, piece by piece in
// order, so the text of a large listing is never held whole, and builds its
// tree at the end.
class ListingDecode : public std::enable_shared_from_this<ListingDecode> {
public:
    using Done = std::function<void(std::shared_ptr<MegaFolderTree>)>;

    void add(QByteArray text);
    // done runs on a worker thread, with no tree when the text was no listing.
    void finish(Done done);
    // What is still queued is dropped and done is never called.
    void cancel();
    // How many nodes have been read so far; from any thread.
    qint64 nodesRead() const { return m_nodesRead.load(std::memory_order_relaxed); }

private:
    void startIfIdle();
    void drain();

    QMutex m_mutex;
    std::deque<QByteArray> m_queue;
    bool m_running = false;
    bool m_cancelled = false;
    std::optional<Done> m_done;
    MegaFolderListingReader m_reader;
    bool m_readable = true;
    std::atomic<qint64> m_nodesRead = 0;
};

// One run of "lark-mega --list-folder": hands what the tool writes to a
// ListingDecode as it arrives, up to the listing cap, and reports the end to
// its model. Deletes itself once the tool has ended, so a cancelled fetch
// never blocks on its process.
class MegaFolderFetch : public QObject {
    Q_OBJECT

public:
    MegaFolderFetch(MegaFolderBrowserModel *model, QUuid requestID);
    ~MegaFolderFetch() override;

    // A start that fails is reported to the model through startFailed.
    void start(const QString &executable, const QString &sourceURL);
    // Stops the tool; the model hears nothing more from this fetch.
    void abandon();
    const std::shared_ptr<ListingDecode> &decode() const { return m_decode; }

private:
    void readAvailable();
    void finished(int exitCode);

    QPointer<MegaFolderBrowserModel> m_model;
    QUuid m_requestID;
    QProcess m_process;
    std::shared_ptr<ListingDecode> m_decode = std::make_shared<ListingDecode>();
    QByteArray m_pending;
    QByteArray m_head; // the start of the output, which holds the error of a failed run
    qint64 m_received = 0;
    std::optional<QString> m_readError;
};
