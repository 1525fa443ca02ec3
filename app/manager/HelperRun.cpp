#include "app/manager/HelperRun.h"

#include "app/manager/ChildProcess.h"
#include "model/WorkerProtocol.h"

#include <csignal>

namespace {

constexpr qsizetype keptErrorBytes = 65536;

} // namespace

HelperRun::HelperRun(QString program, QStringList arguments, QProcessEnvironment environment, qsizetype maxOutputBytes,
                     int timeoutMs, QObject *parent) :
    QObject(parent),
    m_program(std::move(program)),
    m_arguments(std::move(arguments)),
    m_maxOutputBytes(maxOutputBytes)
{
    m_process.setProcessEnvironment(environment);
    m_process.setStandardInputFile(QProcess::nullDevice());
    startWithDefaultSignals(m_process);
    m_timeout.setSingleShot(true);
    m_timeout.setInterval(timeoutMs);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        end(false, QStringLiteral("%1 did not answer in %2 seconds.")
                       .arg(m_program.section(QLatin1Char('/'), -1))
                       .arg(m_timeout.interval() / 1000));
    });
    connect(&m_process, &QProcess::readyReadStandardOutput, this, [this] {
        m_output += m_process.readAllStandardOutput();
        if (m_output.size() > m_maxOutputBytes)
            end(false, QStringLiteral("The answer was larger than %1 MiB, so it was not read.")
                           .arg(m_maxOutputBytes / 1048576));
    });
    connect(&m_process, &QProcess::readyReadStandardError, this, [this] {
        m_errors += m_process.readAllStandardError();
        if (m_errors.size() > keptErrorBytes)
            m_errors.remove(0, m_errors.size() - keptErrorBytes);
    });
    connect(&m_process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        m_output += m_process.readAllStandardOutput();
        m_errors += m_process.readAllStandardError();
        const bool ok = status == QProcess::NormalExit && code == 0 && m_output.size() <= m_maxOutputBytes;
        end(ok, QString());
    });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(false, QStringLiteral("%1 could not be started: %2").arg(m_program, m_process.errorString()));
    });
}

HelperRun::~HelperRun()
{
    m_ended = true;
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

void HelperRun::start()
{
    m_timeout.start();
    m_process.start(m_program, m_arguments);
}

void HelperRun::cancel()
{
    m_ended = true;
    m_timeout.stop();
    if (m_process.state() != QProcess::NotRunning)
        m_process.kill();
}

void HelperRun::end(bool ok, const QString &failure)
{
    if (m_ended)
        return;
    m_ended = true;
    m_timeout.stop();
    m_failure = failure;
    if (m_process.state() != QProcess::NotRunning)
        m_process.kill();
    Q_EMIT finished(ok);
}

QStringList HelperRun::lines() const
{
    QStringList lines = QString::fromUtf8(m_output).split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

QString HelperRun::failure() const
{
    if (!m_failure.isEmpty())
        return m_failure;
    const QStringList lines = QString::fromUtf8(m_errors).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QString last;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("ERROR:")))
            last = line;
    }
    if (last.isEmpty() && !lines.isEmpty())
        last = lines.constLast();
    if (last.isEmpty())
        last = QStringLiteral("%1 ended without an answer.").arg(m_program.section(QLatin1Char('/'), -1));
    return printableText(last.left(500)).trimmed();
}
