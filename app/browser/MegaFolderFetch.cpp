#include "app/browser/MegaFolderFetch.h"

#include "app/browser/MegaFolderBrowserModel.h"
#include "app/manager/ChildProcess.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace {

constexpr qint64 blockBytes = 65536;
// Text is handed to the decoding thread in pieces of this size.
constexpr qsizetype pieceBytes = 262144;
constexpr qsizetype headBytes = 65536;

} // namespace

void ListingDecode::add(QByteArray text)
{
    QMutexLocker locker(&m_mutex);
    m_queue.push_back(std::move(text));
    startIfIdle();
}

void ListingDecode::finish(Done done)
{
    QMutexLocker locker(&m_mutex);
    m_done = std::move(done);
    startIfIdle();
}

void ListingDecode::cancel()
{
    QMutexLocker locker(&m_mutex);
    m_cancelled = true;
    m_queue.clear();
}

// Called with the mutex held. One drain runs at a time, so pieces are read in order.
void ListingDecode::startIfIdle()
{
    if (m_running || m_cancelled)
        return;
    m_running = true;
    QThreadPool::globalInstance()->start([self = shared_from_this()] { self->drain(); });
}

void ListingDecode::drain()
{
    for (;;) {
        QByteArray piece;
        {
            QMutexLocker locker(&m_mutex);
            if (m_queue.empty() && (!m_done || m_cancelled)) {
                m_running = false;
                return;
            }
            if (!m_queue.empty()) {
                piece = std::move(m_queue.front());
                m_queue.pop_front();
            }
        }
        if (!piece.isEmpty()) {
            m_readable = m_readable && m_reader.feed(piece);
            m_nodesRead.store(m_reader.nodesRead(), std::memory_order_relaxed);
            continue;
        }
        auto listing = m_readable ? m_reader.finish() : std::nullopt;
        std::shared_ptr<MegaFolderTree> tree;
        if (listing)
            tree = std::make_shared<MegaFolderTree>(std::move(*listing));
        Done done;
        {
            QMutexLocker locker(&m_mutex);
            done = std::move(*m_done);
            m_cancelled = true; // nothing more is read
            m_running = false;
        }
        done(std::move(tree));
        return;
    }
}

// Owned by the application, so a tool still ending when it quits is stopped and reaped.
MegaFolderFetch::MegaFolderFetch(MegaFolderBrowserModel *model, QUuid requestID) :
    QObject(QCoreApplication::instance()),
    m_model(model),
    m_requestID(requestID)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    startWithDefaultSignals(m_process);
    connect(&m_process, &QProcess::readyRead, this, &MegaFolderFetch::readAvailable);
    connect(&m_process, &QProcess::finished, this, [this](int exitCode) { finished(exitCode); });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        if (m_model)
            m_model->startFailed(m_process.errorString(), m_requestID);
        deleteLater();
    });
}

MegaFolderFetch::~MegaFolderFetch()
{
    // A tool still running when the application quits is stopped with nothing more read.
    m_process.disconnect(this);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void MegaFolderFetch::start(const QString &executable, const QString &sourceURL)
{
    // The link carries the folder's key: on standard input, not the command line every local user can read.
    m_process.start(executable, {QStringLiteral("--list-folder"), QStringLiteral("-")});
    m_process.write(sourceURL.toUtf8() + '\n');
    m_process.closeWriteChannel();
}

void MegaFolderFetch::abandon()
{
    m_model = nullptr;
    m_decode->cancel();
    if (m_process.state() == QProcess::NotRunning)
        deleteLater();
    else
        m_process.terminate();
}

void MegaFolderFetch::readAvailable()
{
    while (m_process.bytesAvailable() > 0) {
        const QByteArray block = m_process.read(blockBytes);
        if (m_readError)
            continue; // past the cap: drained and dropped until the tool has gone
        m_received += block.size();
        if (m_received > MegaFolderBrowserModel::maxListingBytes) {
            m_readError = QStringLiteral("This MEGA folder listing is too large to open in this version.");
            m_decode->cancel();
            m_pending.clear();
            if (m_process.state() != QProcess::NotRunning)
                m_process.terminate();
            continue;
        }
        if (m_head.size() < headBytes)
            m_head.append(block.left(headBytes - m_head.size()));
        m_pending.append(block);
        if (m_pending.size() >= pieceBytes)
            m_decode->add(std::exchange(m_pending, QByteArray()));
    }
}

void MegaFolderFetch::finished(int exitCode)
{
    readAvailable();
    if (!m_pending.isEmpty())
        m_decode->add(std::exchange(m_pending, QByteArray()));
    if (m_model)
        m_model->finish(m_head, exitCode, m_readError, m_requestID, m_decode);
    else
        m_decode->cancel();
    deleteLater();
}
