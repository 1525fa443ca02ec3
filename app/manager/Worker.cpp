#include "app/manager/Worker.h"

#include "app/manager/ChildProcess.h"
#include "model/WorkerProtocol.h"

#include <QSet>

#include <csignal>

namespace {

constexpr qint64 sliceBytes = 16 * 1024;
constexpr qint64 discardBytesPerTurn = 16 * 1024 * 1024;

// Processes whose manager is gone. They run on unwatched; their handles are
// kept for the rest of the program, which is short: the one manager goes at exit.
QSet<QProcess *> &orphans()
{
    static auto *processes = new QSet<QProcess *>; // never destroyed: the handles outlive static teardown
    return *processes;
}

} // namespace

Worker::Worker(const QUuid &id, int stopGraceMs, QObject *parent) :
    QObject(parent),
    m_id(id),
    m_process(new QProcess(this)),
    m_stopGraceMs(stopGraceMs)
{
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    startWithDefaultSignals(*m_process);
    connect(m_process, &QProcess::readyRead, this, &Worker::scheduleRead);
    // A pause that came while the program was still being started takes effect once it runs.
    connect(m_process, &QProcess::started, this, [this] {
        if (m_interruptPending)
            interrupt();
    });
    connect(m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus) {
        // For a process ended by a signal, Qt reports the signal number as the exit code.
        m_status = exitCode;
        m_exited = true;
        scheduleRead();
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && m_watched && !m_reported) {
            m_reported = true;
            Q_EMIT launchFailed(m_id, m_process->errorString());
        }
    });
}

Worker::~Worker() = default;

void Worker::launch(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                    const std::optional<QByteArray> &input)
{
    m_process->setProcessEnvironment(environment);
    if (!input)
        m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->start(program, arguments);
    if (input) {
        m_process->write(*input);
        m_process->closeWriteChannel();
    }
}

void Worker::serve(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    m_serving = true;
    m_idle = true;
    m_process->setProcessEnvironment(environment);
    m_process->start(program, arguments);
}

void Worker::hand(const QUuid &id, const QByteArray &job)
{
    m_id = id;
    m_idle = false;
    m_interruptPending = false;
    m_escalations = 0;
    if (m_stopTimer)
        m_stopTimer->stop();
    m_process->write(job + '\n');
}

void Worker::release()
{
    m_released = true;
    m_process->closeWriteChannel();
}

bool Worker::isRunning() const
{
    return m_process->state() == QProcess::Running && !m_exited;
}

void Worker::interrupt()
{
    if (m_process->state() == QProcess::Starting) {
        m_interruptPending = true;
        return;
    }
    if (!isRunning())
        return;
    signal(SIGINT);
    if (!m_stopTimer) {
        m_stopTimer = new QTimer(this);
        m_stopTimer->setInterval(m_stopGraceMs);
        connect(m_stopTimer, &QTimer::timeout, this, &Worker::escalate);
        m_stopTimer->start();
    }
}

void Worker::signal(int number)
{
    if (isRunning() && m_process->processId() > 0)
        ::kill(static_cast<pid_t>(m_process->processId()), number);
}

void Worker::escalate()
{
    // A worker that ignores SIGINT (or hangs in it) must still stop as the user asked.
    if (!isRunning()) {
        m_stopTimer->stop();
        return;
    }
    signal(m_escalations++ == 0 ? SIGTERM : SIGKILL);
    if (m_escalations >= 2)
        m_stopTimer->stop();
}

void Worker::abandon()
{
    m_watched = false;
    // A pause that came while the program was being started cannot wait for
    // the started signal any more: it is sent as soon as the process exists.
    if (m_interruptPending && m_process->state() == QProcess::Starting)
        m_process->waitForStarted(2000); // its started handler sends the SIGINT
    m_process->disconnect(this);
    // A serving worker gets no next job: it ends once its file is done.
    if (m_serving)
        m_process->closeWriteChannel();
    if (m_process->state() != QProcess::NotRunning) {
        // QProcess's destructor would kill the worker; leave it to finish after its SIGINT.
        QProcess *orphan = m_process;
        orphan->setParent(nullptr);
        orphans().insert(orphan);
        m_process = new QProcess(this);
    }
}

void Worker::scheduleRead()
{
    if (m_readScheduled)
        return;
    m_readScheduled = true;
    QMetaObject::invokeMethod(this, &Worker::readSome, Qt::QueuedConnection);
}

void Worker::readSome()
{
    m_readScheduled = false;
    if (m_reported)
        return;
    QStringList lines = m_framer.append(m_process->read(sliceBytes));
    // The rest of a line too long to keep costs nothing to pass over, and
    // left unread it would pile up in the process's buffer instead.
    for (qint64 skipped = 0;
         lines.isEmpty() && m_framer.isDiscarding() && m_process->bytesAvailable() > 0 && skipped < discardBytesPerTurn;
         skipped += sliceBytes)
        lines = m_framer.append(m_process->read(sliceBytes));
    for (const QString &line : std::as_const(lines)) {
        // Between jobs a serving worker has nothing to say for any item.
        if (m_idle)
            continue;
        if (m_serving && line.startsWith(QLatin1String(WorkerProtocol::end))) {
            bool read = false;
            const int status = QStringView(line).sliced(qstrlen(WorkerProtocol::end)).toInt(&read);
            m_idle = true;
            // The item's end may hand this worker its next job at once.
            if (m_watched)
                Q_EMIT exited(m_id, read ? status : 1);
            break;
        }
        if (m_watched)
            Q_EMIT lineRead(m_id, line);
    }
    if (m_process->bytesAvailable() > 0) {
        scheduleRead();
        return;
    }
    if (!m_exited)
        return;
    const auto last = m_framer.finish();
    m_reported = true;
    if (m_idle) {
        if (m_watched)
            Q_EMIT idleEnded();
        return;
    }
    if (last && m_watched)
        Q_EMIT lineRead(m_id, *last);
    if (m_watched)
        Q_EMIT exited(m_id, m_status);
}
