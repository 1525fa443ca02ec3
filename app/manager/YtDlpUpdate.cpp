#include "app/manager/YtDlpUpdate.h"

#include "app/manager/HelperRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>

namespace {

constexpr qsizetype maxOutputBytes = 4 * 1048576;
// pip may fetch tens of megabytes on a slow line.
constexpr int installTimeoutMs = 15 * 60 * 1000;

// What pip says when it could not talk to its package index.
bool unreachable(const QByteArray &said)
{
    return said.contains("Could not fetch URL") || said.contains("WARNING: Retrying") ||
           said.contains("NewConnectionError");
}

} // namespace

YtDlpUpdate::YtDlpUpdate(QString python, QString environmentDirectory, QProcessEnvironment environment,
                         QObject *parent) :
    QObject(parent),
    m_python(std::move(python)),
    m_directory(std::move(environmentDirectory)),
    m_environment(std::move(environment))
{
    // pip is asked only what it is told here; its own notices would only be noise.
    m_environment.insert(QStringLiteral("PIP_DISABLE_PIP_VERSION_CHECK"), QStringLiteral("1"));
    m_environment.insert(QStringLiteral("PIP_NO_INPUT"), QStringLiteral("1"));
    m_environment.remove(QStringLiteral("PYTHONHOME"));
    m_environment.remove(QStringLiteral("VIRTUAL_ENV"));
}

QString YtDlpUpdate::program(const QString &environmentDirectory)
{
    return environmentDirectory + QStringLiteral("/bin/yt-dlp");
}

void YtDlpUpdate::start()
{
    const QString python = m_directory + QStringLiteral("/bin/python3");
    auto install = [this, python] {
        Q_EMIT progressed(QStringLiteral("Downloading yt-dlp\u2026"));
        // "default" brings what yt-dlp needs beyond itself, the JavaScript pieces for some sites included.
        run(python,
            {QStringLiteral("-m"), QStringLiteral("pip"), QStringLiteral("install"), QStringLiteral("--upgrade"),
             QStringLiteral("--quiet"), QStringLiteral("--retries"), QStringLiteral("2"), QStringLiteral("--timeout"),
             QStringLiteral("30"), QStringLiteral("yt-dlp[default]")},
            installTimeoutMs, [this](HelperRun &installed) {
                // pip that cannot reach its index says so in a warning and ends well, keeping what it had.
                if (unreachable(installed.errors())) {
                    fail(QStringLiteral("the package index could not be reached"));
                    return;
                }
                run(program(m_directory), {QStringLiteral("--version")}, 60000, [this](HelperRun &version) {
                    const QString text = version.lines().value(0).trimmed().left(40);
                    Q_EMIT finished(true, text);
                });
            });
    };
    if (QFileInfo(python).isExecutable()) {
        install();
        return;
    }
    Q_EMIT progressed(QStringLiteral("Preparing a place for yt-dlp\u2026"));
    m_fresh = true;
    if (!QDir().mkpath(m_directory)) {
        fail(QStringLiteral("Its folder %1 could not be made.").arg(m_directory));
        return;
    }
    QFile::setPermissions(m_directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    run(m_python, {QStringLiteral("-m"), QStringLiteral("venv"), m_directory}, 300000,
        [install](HelperRun &) { install(); });
}

void YtDlpUpdate::run(const QString &program, const QStringList &arguments, int timeoutMs,
                      const std::function<void(HelperRun &)> &next)
{
    auto *step = new HelperRun(program, arguments, m_environment, maxOutputBytes, timeoutMs, this);
    connect(step, &HelperRun::finished, this, [this, step, next](bool ok) {
        step->deleteLater();
        if (!ok) {
            QString reason = step->failure();
            if (reason.startsWith(QLatin1String("ERROR: ")))
                reason.remove(0, 7);
            if (reason.contains(QLatin1String("ensurepip")) || reason.contains(QLatin1String("No module named venv")))
                reason = QStringLiteral("Python's venv module is missing (the python3-venv package)");
            else if (unreachable(step->errors()))
                reason = QStringLiteral("the package index could not be reached");
            fail(reason);
            return;
        }
        next(*step);
    });
    step->start();
}

void YtDlpUpdate::fail(const QString &reason)
{
    // An environment this run made and could not fill holds nothing that worked.
    if (m_fresh)
        QDir(m_directory).removeRecursively();
    QString sentence = reason.trimmed();
    while (sentence.endsWith(QLatin1Char('.')))
        sentence.chop(1);
    Q_EMIT finished(false, sentence);
}
