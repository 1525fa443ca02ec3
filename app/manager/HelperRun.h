#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>

// One run of a helper program in the background (a listing, a format query,
// an installation), its output gathered within a bound: a run that says
// more, or takes longer, is ended and reported as failed.
class HelperRun : public QObject {
    Q_OBJECT

public:
    HelperRun(QString program, QStringList arguments, QProcessEnvironment environment, qsizetype maxOutputBytes,
              int timeoutMs, QObject *parent = nullptr);
    ~HelperRun() override;
    // Runs in this directory; the application's own by default.
    void setWorkingDirectory(const QString &directory) { m_process.setWorkingDirectory(directory); }
    void start();
    // Ends the run; finished is not reported then.
    void cancel();

    QByteArray output() const { return m_output; }
    // Standard output as lines, without their terminators.
    QStringList lines() const;
    // The last line of standard error that says what went wrong ("ERROR: …"), or the last line at all.
    QString failure() const;
    // The last of what it wrote on standard error.
    QByteArray errors() const { return m_errors; }

Q_SIGNALS:
    // ok: the program ran and ended with status 0 within its bounds.
    void finished(bool ok);

private:
    void end(bool ok, const QString &failure);

    QProcess m_process;
    QString m_program;
    QStringList m_arguments;
    qsizetype m_maxOutputBytes;
    QByteArray m_output;
    QByteArray m_errors; // the last 64 KiB of standard error
    QString m_failure;
    QTimer m_timeout;
    bool m_ended = false;
};
