#include "app/manager/YtDlpCheck.h"

#include "app/manager/ChildProcess.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace {

constexpr int oldAfterDays = 90;

QString updateWay(YtDlpInstall install, const QString &path)
{
    switch (install) {
    case YtDlpInstall::debianPackage:
    case YtDlpInstall::other:
        // The distribution's package stays at its release's version: only one of Lark's own is current.
        return QStringLiteral("choose Update now for a current yt-dlp of Lark's own");
    case YtDlpInstall::own:
        return QStringLiteral("choose Update now");
    case YtDlpInstall::pipx:
        return QStringLiteral("update it with pipx upgrade yt-dlp");
    case YtDlpInstall::pip:
        return QStringLiteral("update it with python3 -m pip install --upgrade yt-dlp");
    case YtDlpInstall::standalone:
        return QStringLiteral("update it with \"%1\" -U").arg(path);
    }
    return QStringLiteral("choose Update now");
}

} // namespace

QDate ytDlpJsRuntimesRelease()
{
    return QDate(2025, 11, 12);
}

std::optional<QDate> ytDlpReleaseDate(const QString &version)
{
    const QStringList parts = version.trimmed().split(QLatin1Char('.'));
    if (parts.size() < 3)
        return std::nullopt;
    const QDate date(parts[0].toInt(), parts[1].toInt(), parts[2].toInt());
    return date.isValid() ? std::optional<QDate>(date) : std::nullopt;
}

YtDlpInstall ytDlpInstallOf(const QString &path, const QString &toolDirectory, const QString &home,
                            const QString &ownDirectory)
{
    const QFileInfo file(path);
    const QString real = file.canonicalFilePath();
    if (!ownDirectory.isEmpty() && file.absolutePath() == QDir(ownDirectory).absolutePath())
        return YtDlpInstall::own;
    if (file.absolutePath() == QDir(toolDirectory).absolutePath())
        return YtDlpInstall::standalone;
    if (real.contains(QLatin1String("/pipx/venvs/")))
        return YtDlpInstall::pipx;
    if (real.startsWith(QLatin1String("/usr/bin/")) &&
        QFileInfo::exists(QStringLiteral("/var/lib/dpkg/info/yt-dlp.list")))
        return YtDlpInstall::debianPackage;
    if (file.absolutePath() == home + QStringLiteral("/.local/bin") ||
        real.startsWith(QLatin1String("/usr/local/bin/")))
        return YtDlpInstall::pip;
    return YtDlpInstall::other;
}

QString ytDlpAdvice(const std::optional<QString> &path, const QString &version, YtDlpInstall install, bool denoFound,
                    const QDate &today)
{
    if (!path)
        return QStringLiteral("yt-dlp was not found, so video links cannot be downloaded: choose Update now to give "
                              "Lark a yt-dlp of its own, or install it with sudo apt install yt-dlp.");
    const auto released = ytDlpReleaseDate(version);
    if (!released)
        return QStringLiteral("%1 did not tell its version, so it may not work: reinstall yt-dlp.").arg(*path);
    QStringList advice;
    if (released->daysTo(today) > oldAfterDays)
        advice.append(QStringLiteral("yt-dlp %1 is %2 days old, the most common cause of failed video downloads: "
                                     "%3.")
                          .arg(version.trimmed())
                          .arg(released->daysTo(today))
                          .arg(updateWay(install, *path)));
    if (*released >= ytDlpJsRuntimesRelease() && !denoFound)
        advice.append(QStringLiteral("yt-dlp %1 needs the deno JavaScript runtime for YouTube and none was found: put "
                                     "the deno program in ~/.local/bin.")
                          .arg(version.trimmed()));
    return advice.join(QLatin1Char(' '));
}

YtDlpCheck::YtDlpCheck(WorkerTools tools, QObject *parent) : QObject(parent), m_tools(std::move(tools))
{}

YtDlpCheck::~YtDlpCheck()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(1000);
    }
}

void YtDlpCheck::start()
{
    m_path = m_tools.executable(QStringLiteral("yt-dlp"));
    if (!m_path) {
        // Reported from the event loop, as a found one is.
        QTimer::singleShot(0, this, [this] { report(QString()); });
        return;
    }
    m_process = new QProcess(this);
    m_process->setProcessEnvironment(m_tools.environment());
    m_process->setProgram(*m_path);
    m_process->setArguments({QStringLiteral("--version")});
    m_process->setStandardInputFile(QProcess::nullDevice());
    startWithDefaultSignals(*m_process);
    connect(m_process, &QProcess::finished, this,
            [this] { report(QString::fromUtf8(m_process->readAllStandardOutput().left(200))); });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            report(QString());
    });
    // A yt-dlp that hangs is not waited for.
    QTimer::singleShot(30000, m_process, [this] {
        if (m_process->state() != QProcess::NotRunning)
            m_process->kill();
    });
    m_process->start();
}

void YtDlpCheck::report(const QString &version)
{
    m_release = ytDlpReleaseDate(version);
    const YtDlpInstall install =
        m_path ? ytDlpInstallOf(*m_path, m_tools.toolDirectory(), QDir::homePath(), m_tools.ownDirectory())
               : YtDlpInstall::other;
    m_install = install;
    Q_EMIT finished(ytDlpAdvice(m_path, version, install, m_tools.executable(QStringLiteral("deno")).has_value(),
                                QDate::currentDate()));
}
