#include "app/manager/WorkingFiles.h"

#include "app/manager/YtDlpCommand.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QThreadPool>

namespace {

// What follows the job's tag in a name yt-dlp made, "mp4.part" in "clip [id] [0A1B2C3D].mp4.part".
std::optional<QStringView> afterTag(QStringView name, const QString &job)
{
    const QString tag = QLatin1Char('[') + job.left(8) + QStringLiteral("].");
    const qsizetype at = name.lastIndexOf(tag);
    if (at < 0)
        return std::nullopt;
    return name.sliced(at + tag.size());
}

bool isFormatPart(QStringView rest)
{
    // "f137.mp4": one format of several, waiting to be merged.
    const qsizetype dot = rest.indexOf(QLatin1Char('.'));
    return rest.startsWith(QLatin1Char('f')) && dot > 1 && rest.indexOf(QLatin1Char('.'), dot + 1) < 0;
}

// Whether name, in the folder of the download with this job id, is one of its working files.
bool isWorking(const QString &name, const QString &job, bool mega)
{
    if (mega) {
        const QString prefix = QStringLiteral(".lark-") + job;
        return name == prefix + QStringLiteral(".mega.part") || name == prefix + QStringLiteral(".mega.state") ||
               name == prefix + QStringLiteral(".mega.state.new") || name == prefix + QStringLiteral(".decrypting");
    }
    const auto rest = afterTag(name, job);
    if (!rest)
        return false;
    return rest->endsWith(QLatin1String(".part")) || rest->contains(QLatin1String(".part-Frag")) ||
           rest->endsWith(QLatin1String(".ytdl")) || rest->startsWith(QLatin1String("temp.")) || isFormatPart(*rest);
}

// Whether name is a yt-dlp output under its final name that a run of this job
// may have left unfinished: a file of the final extension (any, for video; the
// converted one for audio) carrying the job's tag.
bool isUnfinishedOutput(const QString &name, const QString &job, const QString &finalExtension)
{
    const auto rest = afterTag(name, job);
    if (!rest || rest->isEmpty() || rest->contains(QLatin1Char('.')))
        return false;
    return finalExtension.isEmpty() || *rest == finalExtension;
}

struct Job {
    QString id;
    bool mega;
};

void removeFrom(const QString &folder, const QList<Job> &jobs)
{
    QHash<QString, const Job *> byTag; // yt-dlp names carry the first 8 characters
    QHash<QString, const Job *> byId;  // lark-mega's the whole id
    for (const Job &job : jobs)
        (job.mega ? byId.insert(job.id, &job) : byTag.insert(job.id.left(8), &job));
    for (QDirIterator it(folder, QDir::Files | QDir::Hidden); it.hasNext();) {
        it.next();
        const QString name = it.fileName();
        const Job *owner = nullptr;
        if (name.startsWith(QLatin1String(".lark-")))
            owner = byId.value(name.mid(6, 36));
        else if (const qsizetype at = name.lastIndexOf(QStringLiteral("].")); at >= 9 && name[at - 9] == u'[')
            owner = byTag.value(name.mid(at - 8, 8));
        if (owner && !it.fileInfo().isSymLink() && isWorking(name, owner->id, owner->mega))
            QFile::remove(it.filePath());
    }
}

} // namespace

namespace WorkingFiles {

void removeInBackground(const QList<DownloadItem> &items)
{
    QHash<QString, QList<Job>> byFolder;
    for (const DownloadItem &item : items) {
        if (item.state != DownloadState::completed)
            byFolder[item.folder].append({item.jobID(), item.platform() == QLatin1String("MEGA")});
    }
    if (byFolder.isEmpty())
        return;
    QThreadPool::globalInstance()->start([byFolder] {
        for (auto it = byFolder.cbegin(); it != byFolder.cend(); ++it)
            removeFrom(it.key(), it.value());
    });
}

void removeUnfinishedOutputs(const DownloadItem &item)
{
    // Audio is converted from a download kept beside it, which is whole and need not come again.
    const QString extension = item.format.isEmpty() ? audioFormat(item.quality).value_or(QString()) : QString();
    const QString job = item.jobID();
    for (QDirIterator it(item.folder, QDir::Files); it.hasNext();) {
        it.next();
        if (!it.fileInfo().isSymLink() && isUnfinishedOutput(it.fileName(), job, extension))
            QFile::remove(it.filePath());
    }
}

} // namespace WorkingFiles
