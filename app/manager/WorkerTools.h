#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

// Where the application finds the programs it starts (its own tool
// directory, then where pip, pipx and the system put yt-dlp, FFmpeg and
// deno) and the environment its workers run in.
class WorkerTools {
public:
    // An empty tool directory means the resources directory + "Tools"; no
    // search list means the default one.
    WorkerTools(const QString &toolDirectory, std::optional<QStringList> searchDirectories);

    QString toolDirectory() const { return m_toolDirectory; }
    // Where Lark's own yt-dlp lives (the bin directory of its Python
    // environment), searched right after the tool directory when the search
    // list is the default one.
    QString ownDirectory() const { return m_ownDirectory; }
    void setOwnDirectory(const QString &directory) { m_ownDirectory = directory; }
    QStringList searchDirectories() const;
    // The first directory of the search list holding an executable file called name.
    std::optional<QString> executable(const QString &name) const;
    // The application's environment with PATH set to the search list, so a
    // worker finds the same helpers the application found.
    QProcessEnvironment environment() const;

private:
    QString m_toolDirectory;
    std::optional<QStringList> m_searchDirectories;
    QString m_ownDirectory;
};
