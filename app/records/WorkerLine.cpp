#include "app/records/WorkerLine.h"

#include "model/WorkerProtocol.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

bool startsWith(const QString &line, const char *marker)
{
    return line.startsWith(QLatin1String(marker));
}

// The text after a marker. yt-dlp is asked to print what comes from outside as
// a JSON string, so nothing in it can break the line; what does not decode
// was not written by the template and is not taken.
std::optional<QString> fieldText(const QString &line, const char *marker, bool escaped)
{
    const QString field = line.sliced(qstrlen(marker));
    if (!escaped)
        return field;
    if (!field.startsWith(QLatin1Char('"')))
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray("[") + field.toUtf8() + QByteArray("]"), &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1 || !document.array()[0].isString())
        return std::nullopt;
    return document.array()[0].toString();
}

// Whether path names something inside folder, however it is spelled.
bool isInside(const QString &path, const QString &folder)
{
    if (!QDir::isAbsolutePath(path) || folder.isEmpty())
        return false;
    const QString base = QDir::cleanPath(QDir(folder).absolutePath()) + QLatin1Char('/');
    if (QDir::cleanPath(path).startsWith(base))
        return true;
    // The folder may be reached through a link; both as they really are then.
    const QString realFolder = QFileInfo(folder).canonicalFilePath();
    const QString realPath = QFileInfo(path).canonicalFilePath();
    return !realFolder.isEmpty() && !realPath.isEmpty() && realPath.startsWith(realFolder + QLatin1Char('/'));
}

} // namespace

std::optional<QString> reportedFile(const DownloadItem &item, const QString &line)
{
    if (!startsWith(line, WorkerProtocol::file))
        return std::nullopt;
    // A worker only ever saves into the item's folder; a path elsewhere is not believed.
    const auto file = fieldText(line, WorkerProtocol::file, item.platform() != QLatin1String("MEGA"));
    if (!file || !isInside(*file, item.folder))
        return std::nullopt;
    return file;
}

bool applyWorkerLine(DownloadItem &item, const QString &line, RunNotes *notes)
{
    if (item.state != DownloadState::downloading)
        return false;

    // A worker's error says why it stopped; what it prints after that must not hide it.
    const bool keepsError = item.detail.startsWith(QLatin1String(WorkerProtocol::error));
    if (auto progress = parseProgressLine(line)) {
        if (notes)
            progress = notes->overall(*progress);
        item.progress = progress->percent;
        item.bytesDone = progress->bytesDone;
        item.bytesTotal = progress->bytesTotal.has_value() ? progress->bytesTotal : item.bytesTotal;
        item.bytesPerSecond = progress->bytesPerSecond;
        item.secondsLeft = progress->secondsLeft;
        if (!keepsError)
            item.detail =
                progress->percent < 100 ? QStringLiteral("Downloading") : QStringLiteral("Finalizing file\u2026");
        return true;
    }
    const bool escaped = item.platform() != QLatin1String("MEGA");
    if (startsWith(line, WorkerProtocol::title)) {
        const auto title = fieldText(line, WorkerProtocol::title, escaped);
        // An entry picked from a listing keeps the title it was listed by: a
        // feed's episode title says more than the name of its media file.
        if (!title || !item.archiveKey.isEmpty())
            return false;
        item.title = printableText(*title);
        return true;
    }
    if (startsWith(line, WorkerProtocol::file)) {
        const auto file = reportedFile(item, line);
        if (!file)
            return false;
        item.file = *file;
        return true;
    }
    if (startsWith(line, WorkerProtocol::error)) {
        item.detail = line;
        return true;
    }
    if (startsWith(line, WorkerProtocol::merger) || startsWith(line, WorkerProtocol::extractAudio) ||
        startsWith(line, WorkerProtocol::status)) {
        if (keepsError)
            return false;
        item.detail = QString(line).remove(QLatin1String(WorkerProtocol::status));
        return true;
    }
    return false;
}
