#pragma once

#include "app/records/LineFramer.h"

#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QUuid>

#include <optional>

class DownloadManager;

// One worker process and the reading of its output. Output is consumed in
// bounded slices, one per turn of the event loop, so a chatty worker never
// stalls the main thread; every line reaches the manager before the exit does.
class Worker : public QObject {
    Q_OBJECT

public:
    // A worker still running stopGraceMs after SIGINT gets SIGTERM, and SIGKILL as long again after that.
    Worker(const QUuid &id, DownloadManager *manager, int stopGraceMs = 5000);
    ~Worker() override;

    // Starts the program; input, when given, is written to its standard input, which is then closed.
    void launch(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
                const std::optional<QByteArray> &input);
    bool isRunning() const;
    // SIGINT, so the worker keeps its partial data; SIGTERM and SIGKILL follow
    // if it does not end.
    void interrupt();
    // Lets a still-running process live on unwatched once the manager is gone.
    void abandon();

private:
    void scheduleRead();
    void readSome();
    void signal(int number);
    void escalate();

    QUuid m_id;
    QPointer<DownloadManager> m_manager;
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
