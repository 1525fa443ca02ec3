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
#include <functional>
#include <memory>
#include <optional>

class MegaFolderBrowserModel;

// Reads a listing straight from the tool's output on a worker thread, as
// fast as it can decode it: the tool waits on a full pipe meanwhile, so
// neither the text nor a backlog of it is ever held. Builds the tree at the end.
class ListingDecode : public std::enable_shared_from_this<ListingDecode> {
public:
    // The start of the output, which holds the error of a failed run, and
    // whether reading stopped at the cap.
    using Read = std::function<void(const QByteArray &head, bool tooLarge)>;
    using Done = std::function<void(std::shared_ptr<MegaFolderTree>)>;

    // Reads descriptor, which it then owns, to its end or to maxBytes;
    // overCap runs on the reading thread when the output goes past that.
    void start(int descriptor, qint64 maxBytes, std::function<void()> overCap);
    // read runs once the output has been read to its end (or given up), on
    // a worker thread, or at once when it already has; cancelled or not.
    void whenRead(Read read);
    // Builds the tree of what was read; done runs on a worker thread, with no
    // tree when the text was no listing.
    void finish(Done done);
    // Reading stops soon, and done is never called.
    void cancel();
    // How many nodes have been read so far; from any thread.
    qint64 nodesRead() const { return m_nodesRead.load(std::memory_order_relaxed); }

private:
    void readAll(int descriptor, qint64 maxBytes, const std::function<void()> &overCap);

    QMutex m_mutex;
    bool m_ended = false;
    std::optional<Read> m_read;
    std::atomic<bool> m_cancelled = false;
    // Written by the reading thread only, until m_ended is set.
    QByteArray m_head;
    bool m_tooLarge = false;
    MegaFolderListingReader m_reader;
    bool m_readable = true;
    std::atomic<qint64> m_nodesRead = 0;
};

// One run of "lark-mega --list-folder": its output goes to a ListingDecode,
// and once both the tool and the reading have ended, the result to its
// model. Deletes itself then, so a cancelled fetch never blocks on its process.
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
    void failedToStart(const QString &description);
    void report(int exitCode, const QByteArray &head, bool tooLarge);

    QPointer<MegaFolderBrowserModel> m_model;
    QUuid m_requestID;
    QProcess m_process;
    std::shared_ptr<ListingDecode> m_decode = std::make_shared<ListingDecode>();
};
