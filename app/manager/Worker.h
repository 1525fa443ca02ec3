#pragma once

#include "app/records/LineFramer.h"

#include <QObject>
#include <QProcess>
#include <QTimer>
#include <QUuid>

#include <optional>

// One worker process and the reading of its output. Output is consumed in
// bounded slices, one per turn of the event loop, so a chatty worker never
// stalls the main thread; every line is reported before the exit is.
//
// A serving worker is a tool run that takes one job after another on its
// standard input: each job is handed with the item it is for, and its
// "LARK_END|" line reports that item's exit as a process of its own would.
class Worker : public QObject {
    Q_OBJECT

public:
    // A worker still running stopGraceMs after SIGINT gets SIGTERM, and SIGKILL as long again after that.
    explicit Worker(const QUuid &id, int stopGraceMs = 5000, QObject *parent = nullptr);
    ~Worker() override;

    // Starts the program; input, when given, is written to its standard input, which is then closed.
    void launch(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                const std::optional<QByteArray> &input);
    // Starts a serving worker, with no job yet.
    void serve(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment);
    // Gives an idle serving worker its next job, a line of standard input, for the item id.
    void hand(const QUuid &id, const QByteArray &job);
    // A serving worker between jobs, still running, ready to be handed the next.
    bool isIdle() const { return m_serving && m_idle && !m_released && isRunning(); }
    // Closes a serving worker's standard input, which ends it once it is idle.
    void release();
    bool isRunning() const;
    // SIGINT, so the worker keeps its partial data; SIGTERM and SIGKILL follow
    // if it does not end.
    void interrupt();
    // Lets a still-running process live on unwatched once the manager is gone.
    void abandon();

Q_SIGNALS:
    void lineRead(const QUuid &id, const QString &line);
    // The exit code, or the signal that ended the process.
    void exited(const QUuid &id, int status);
    void launchFailed(const QUuid &id, const QString &description);
    // A serving worker ended between jobs: nothing of any item was lost.
    void idleEnded();

private:
    void scheduleRead();
    void readSome();
    void signal(int number);
    void escalate();

    QUuid m_id;
    bool m_watched = true;
    bool m_serving = false;
    bool m_idle = false;
    bool m_released = false;
    QProcess *m_process;
    LineFramer m_framer;
    bool m_readScheduled = false;
    bool m_interruptPending = false;
    bool m_exited = false;
    bool m_reported = false;
    int m_status = 0;
    int m_stopGraceMs;
    int m_escalations = 0;
    QTimer *m_stopTimer = nullptr;
};
