#include "app/manager/WorkerTools.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

// The installed layout keeps the tools under libexec; the build tree keeps them beside the executable.
QString defaultToolDirectory()
{
    const QString binary = QCoreApplication::applicationDirPath();
    const QString installed = QDir(binary).filePath(QStringLiteral("../libexec/lark-downloader"));
    const QString resources =
        QFileInfo::exists(installed + QStringLiteral("/Tools")) ? QDir::cleanPath(installed) : binary;
    return resources + QStringLiteral("/Tools");
}

} // namespace

WorkerTools::WorkerTools(const QString &toolDirectory, std::optional<QStringList> searchDirectories) :
    m_toolDirectory(toolDirectory.isEmpty() ? defaultToolDirectory() : toolDirectory),
    m_searchDirectories(std::move(searchDirectories))
{}

QStringList WorkerTools::searchDirectories() const
{
    if (m_searchDirectories)
        return *m_searchDirectories;
    QStringList directories{m_toolDirectory};
    // An environment whose Python is gone (the system's moved on to another
    // version) would start no yt-dlp at all: the system's is used then.
    if (!m_ownDirectory.isEmpty() && QFileInfo::exists(m_ownDirectory + QStringLiteral("/python3")))
        directories.append(m_ownDirectory);
    return directories + QStringList{QDir::homePath() + QStringLiteral("/.local/bin"),
                                     QStringLiteral("/opt/homebrew/bin"), QStringLiteral("/usr/local/bin"),
                                     QStringLiteral("/usr/bin")};
}

std::optional<QString> WorkerTools::executable(const QString &name) const
{
    for (const QString &directory : searchDirectories()) {
        const QFileInfo candidate(directory + QLatin1Char('/') + name);
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.filePath();
    }
    return std::nullopt;
}

QProcessEnvironment WorkerTools::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), searchDirectories().join(QLatin1Char(':')) + QStringLiteral(":/bin"));
    environment.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    return environment;
}
