#include "app/browser/MegaFolderFetch.h"

#include "app/browser/MegaFolderBrowserModel.h"
#include "app/manager/ChildProcess.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr qsizetype blockBytes = 262144;
constexpr qsizetype headBytes = 65536;
// A wait on the pipe is this short so a cancel is seen soon even while the tool is silent.
constexpr int pollMs = 100;
// From this many nodes a closed listing's memory is handed back to the system.
constexpr qsizetype largeListing = 100000;

// The allocator keeps freed blocks for reuse; the hundreds of megabytes of a
// large listing would stay resident for as long as the application runs.
// They are handed back once the events under way are done, as the files
// shown share the nodes and may be freed after the tree.
void releaseTree(MegaFolderTree *tree)
{
    const bool large = tree->listing().nodes.size() >= largeListing;
    delete tree;
    if (!large)
        return;
    if (QCoreApplication *application = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            application, [] { malloc_trim(0); }, Qt::QueuedConnection);
    else
        malloc_trim(0);
}

} // namespace

void ListingDecode::start(int descriptor, qint64 maxBytes, std::function<void()> overCap)
{
    QThreadPool::globalInstance()->start(
        [self = shared_from_this(), descriptor, maxBytes, overCap = std::move(overCap)] {
            self->readAll(descriptor, maxBytes, overCap);
        });
}

void ListingDecode::readAll(int descriptor, qint64 maxBytes, const std::function<void()> &overCap)
{
    // This thread mostly waits on the tool: the pool may run other work meanwhile.
    QThreadPool::globalInstance()->releaseThread();
    QByteArray block(blockBytes, Qt::Uninitialized);
    qint64 received = 0;
    while (!m_cancelled.load(std::memory_order_relaxed)) {
        pollfd ready{descriptor, POLLIN, 0};
        const int polled = ::poll(&ready, 1, pollMs);
        if (polled == 0 || (polled < 0 && errno == EINTR))
            continue;
        if (polled < 0)
            break;
        const ssize_t count = ::read(descriptor, block.data(), static_cast<size_t>(block.size()));
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count <= 0)
            break;
        received += count;
        if (received > maxBytes) {
            m_tooLarge = true;
            overCap();
            break;
        }
        const QByteArrayView text(block.constData(), static_cast<qsizetype>(count));
        if (m_head.size() < headBytes)
            m_head.append(text.first(std::min(text.size(), headBytes - m_head.size())));
        if (m_readable) {
            m_readable = m_reader.feed(text);
            m_nodesRead.store(m_reader.nodesRead(), std::memory_order_relaxed);
        }
    }
    // A tool still writing then ends on the closed pipe.
    ::close(descriptor);
    QThreadPool::globalInstance()->reserveThread();
    std::optional<Read> read;
    {
        QMutexLocker locker(&m_mutex);
        m_ended = true;
        read = std::exchange(m_read, std::nullopt);
    }
    if (read)
        (*read)(m_head, m_tooLarge);
}

void ListingDecode::whenRead(Read read)
{
    {
        QMutexLocker locker(&m_mutex);
        if (!m_ended) {
            m_read = std::move(read);
            return;
        }
    }
    read(m_head, m_tooLarge);
}

void ListingDecode::finish(Done done)
{
    QThreadPool::globalInstance()->start([self = shared_from_this(), done = std::move(done)] {
        if (self->m_cancelled.load())
            return;
        auto listing = self->m_readable ? self->m_reader.finish() : std::nullopt;
        std::shared_ptr<MegaFolderTree> tree;
        if (listing)
            tree = std::shared_ptr<MegaFolderTree>(new MegaFolderTree(std::move(*listing)), releaseTree);
        if (!self->m_cancelled.load())
            done(std::move(tree));
    });
}

void ListingDecode::cancel()
{
    m_cancelled.store(true);
}

// Owned by the application, so a tool still ending when it quits is stopped and reaped.
MegaFolderFetch::MegaFolderFetch(MegaFolderBrowserModel *model, QUuid requestID) :
    QObject(QCoreApplication::instance()),
    m_model(model),
    m_requestID(requestID)
{
    // What the tool writes goes to the decoding thread's own pipe, not through this process's buffers.
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    connect(&m_process, &QProcess::finished, this, [this](int exitCode) {
        QPointer<MegaFolderFetch> self(this);
        m_decode->whenRead([self, exitCode](const QByteArray &head, bool tooLarge) {
            QMetaObject::invokeMethod(
                qApp,
                [self, exitCode, head, tooLarge] {
                    if (self)
                        self->report(exitCode, head, tooLarge);
                },
                Qt::QueuedConnection);
        });
    });
    // The application waits for its worker threads as it ends, before this is deleted: a read still under
    // way has to stop first.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] { m_decode->cancel(); });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failedToStart(m_process.errorString());
    });
}

MegaFolderFetch::~MegaFolderFetch()
{
    // A tool still running when the application quits is stopped with nothing more read.
    m_process.disconnect(this);
    if (m_process.state() != QProcess::NotRunning) {
        m_decode->cancel();
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void MegaFolderFetch::start(const QString &executable, const QString &sourceURL)
{
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        failedToStart(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    startWithDefaultSignals(m_process, output[1]);
    // The link carries the folder's key: on standard input, not the command line every local user can read.
    m_process.start(executable, {QStringLiteral("--list-folder"), QStringLiteral("-")});
    // The child holds its own copy: the output ends when the child's closes.
    ::close(output[1]);
    // Past the cap the tool is stopped, whatever it is doing.
    QPointer<MegaFolderFetch> self(this);
    m_decode->start(output[0], MegaFolderBrowserModel::maxListingBytes, [self] {
        QMetaObject::invokeMethod(
            qApp,
            [self] {
                if (self && self->m_process.state() != QProcess::NotRunning)
                    self->m_process.terminate();
            },
            Qt::QueuedConnection);
    });
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.write(sourceURL.toUtf8() + '\n');
    m_process.closeWriteChannel();
}

void MegaFolderFetch::failedToStart(const QString &description)
{
    if (m_model)
        m_model->startFailed(description, m_requestID);
    m_model = nullptr;
    deleteLater();
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

void MegaFolderFetch::report(int exitCode, const QByteArray &head, bool tooLarge)
{
    std::optional<QString> readError;
    if (tooLarge)
        readError = QStringLiteral("This MEGA folder listing is too large to open in this version.");
    if (m_model)
        m_model->finish(head, exitCode, readError, m_requestID, m_decode);
    else
        m_decode->cancel();
    deleteLater();
}
