#include "tool/MegaDownload.h"

#include "model/JsonFields.h"
#include "model/WorkerProtocol.h"
#include "tool/Emit.h"
#include "tool/FileSystem.h"
#include "tool/HttpClient.h"
#include "tool/MegaApi.h"
#include "tool/MegaCrypto.h"
#include "tool/MegaDecrypt.h"
#include "tool/MegaLink.h"
#include "tool/RangeFetcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/ubrk.h>
#include <unistd.h>

namespace MegaDownload {

namespace {

constexpr qsizetype longestName = 180;

struct DownloadInfo {
    QUrl url;
    qint64 size = 0;
    QString name;
};

MegaResult<DownloadInfo> downloadInfo(HttpClient &client, const MegaLink &link,
                                      const std::optional<MegaNodeDownload> &node)
{
    QJsonObject command{{QLatin1String("a"), QStringLiteral("g")}, {QLatin1String("g"), 1}, {QLatin1String("ssl"), 2}};
    std::optional<QString> share;
    if (node) {
        command.insert(QLatin1String("n"), node->nodeHandle);
        share = node->shareHandle;
    } else {
        command.insert(QLatin1String("p"), link.handle());
    }
    const auto result = megaAPI(client, command, share);
    if (!result)
        return result.error();

    const QJsonValue location = result->value(QLatin1String("g"));
    DownloadInfo info;
    info.url = QUrl(location.toString(), QUrl::StrictMode);
    const auto size = strictInteger(result->value(QLatin1String("s")));
    if (result->isEmpty() || !location.isString() || !info.url.isValid() || !size || *size < 0)
        return megaError("MEGA did not return a downloadable file.");
    info.size = *size;
    info.url.setScheme(QStringLiteral("https"));
    if (!info.url.isValid() || info.url.host().isEmpty())
        return megaError("Invalid MEGA download URL.");

    const QJsonValue attributes = result->value(QLatin1String("at"));
    if (attributes.isString()) {
        const auto name = megaAttributeName(attributes.toString(), link.key());
        if (!name)
            return name.error();
        info.name = *name;
    } else if (node) {
        info.name = node->name;
    } else {
        return megaError("MEGA did not return file attributes.");
    }
    return info;
}

// Base and extension split at the last "."; a leading dot alone starts no extension.
std::pair<QString, QString> splitExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return {name, QString()};
    return {name.left(dot), name.sliced(dot + 1)};
}

MegaError rangeStatusError(long status)
{
    if (status == 509)
        return megaError("MEGA transfer quota reached. Resume after the quota resets.");
    return MegaError{QStringLiteral("MEGA transfer failed (HTTP %1). Resume to retry.").arg(status)};
}

// Removes the decryption output on every way out of the transfer.
struct OutputCleanup {
    QString path;
    ~OutputCleanup() { FileSystem::removeQuietly(path); }
};

} // namespace

QString safeFileName(const QString &name)
{
    QString safe = name;
    for (QChar &c : safe) {
        if (c == QLatin1Char('/') || c == QLatin1Char(':') || c == QLatin1Char('\\') || c == QLatin1Char('\n') ||
            c == QLatin1Char('\r') || c == QChar(0))
            c = QLatin1Char('_');
    }
    // Lengths count what the reader sees as characters, so a cut never splits one.
    QList<qsizetype> ends;
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator *graphemes = ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar *>(safe.utf16()),
                                          static_cast<int32_t>(safe.size()), &status);
    if (U_SUCCESS(status)) {
        for (int32_t at = ubrk_next(graphemes); at != UBRK_DONE && ends.size() < longestName; at = ubrk_next(graphemes))
            ends.append(at);
    } else {
        // Without the break rules, never split a surrogate pair at least.
        for (qsizetype at = 1; at <= safe.size() && ends.size() < longestName; ++at) {
            if (at == safe.size() || !safe.at(at).isLowSurrogate())
                ends.append(at);
        }
    }
    ubrk_close(graphemes);
    safe.truncate(ends.isEmpty() ? 0 : ends.last());
    while (!ends.isEmpty() && safe.toUtf8().size() > longestName) {
        ends.removeLast();
        safe.truncate(ends.isEmpty() ? 0 : ends.last());
    }
    if (safe.isEmpty() || safe == QLatin1String(".") || safe == QLatin1String(".."))
        return QStringLiteral("MEGA download");
    return safe;
}

QString taggedName(const QString &name, const QString &tag)
{
    const auto [base, extension] = splitExtension(name);
    QString tagged = base + QStringLiteral(" [") + tag + QLatin1Char(']');
    if (!extension.isEmpty())
        tagged += QLatin1Char('.') + extension;
    return tagged;
}

MegaResult<Done> download(const QString &linkText, const QString &folder, const QString &job,
                          const std::optional<MegaNodeDownload> &node)
{
    // The job names files in the folder; it must stay one path component.
    if (job.isEmpty() || job.contains(QLatin1Char('/')) || job.contains(QChar(0)) || job == QLatin1String(".."))
        return megaError("Invalid job identifier.");

    std::optional<MegaLink> parsedLink;
    if (node) {
        if (const auto invalid = node->validate())
            return MegaError{invalid->message};
        const auto key = b64(node->fileKey);
        if (!key)
            return key.error();
        const auto link = MegaLink::fromParts(node->nodeHandle, *key);
        if (!link)
            return link.error();
        parsedLink = *link;
    } else {
        const auto link = MegaLink::parse(linkText);
        if (!link)
            return link.error();
        parsedLink = *link;
    }
    const MegaLink &link = *parsedLink;

    HttpClient client(std::chrono::seconds(3600));
    const auto info = downloadInfo(client, link, node);
    if (!info)
        return info.error();
    const qint64 size = info->size;

    const QDir directory(QFileInfo(folder).absoluteFilePath());
    QString name = safeFileName(info->name);
    if (node)
        name = taggedName(name, node->nodeHandle);
    QString target = directory.filePath(name);
    if (FileSystem::exists(target))
        target = directory.filePath(taggedName(name, job.left(8)));

    const QString partialPath = directory.filePath(QStringLiteral(".lark-%1.mega.part").arg(job));
    const OutputCleanup output{directory.filePath(QStringLiteral(".lark-%1.decrypting").arg(job))};
    emitLine(QLatin1String(WorkerProtocol::title) + info->name);

    const FileSystem::FileDescriptor partial(
        ::open(QFile::encodeName(partialPath).constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!partial.isOpen())
        return FileSystem::error(QStringLiteral("Could not open"), partialPath);
    off_t offset = ::lseek(partial.get(), 0, SEEK_END);
    if (offset < 0)
        return FileSystem::error(QStringLiteral("Could not read"), partialPath);
    if (offset > size) {
        if (::ftruncate(partial.get(), 0) != 0 || ::lseek(partial.get(), 0, SEEK_SET) != 0)
            return FileSystem::error(QStringLiteral("Could not reset"), partialPath);
        offset = 0;
    }

    const auto start = std::chrono::steady_clock::now();
    const qint64 startOffset = offset;
    QString base = info->url.toString(QUrl::FullyEncoded);
    while (base.startsWith(QLatin1Char('/')))
        base.remove(0, 1);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    // Several connections at once; the ranges still reach the file in order.
    RangeFetcher fetcher(base, offset, size, rangeSize, RangeFetcher::connectionsFromEnvironment());
    while (offset < size) {
        const auto range = fetcher.next();
        if (!range)
            return range.error();
        const qint64 first = range->first;
        const qint64 expected = range->expected;
        if (range->status != 200 && range->status != 206)
            return rangeStatusError(range->status);
        if (range->longer || range->body.size() != expected)
            return megaError("Incomplete MEGA chunk. Resume to retry.");
        if (!FileSystem::writeAll(partial.get(), range->body.constData(), expected))
            return FileSystem::error(QStringLiteral("Could not write"), partialPath);
        FileSystem::startWriteback(partial.get(), first, expected);
        const qint64 written = first + expected;

        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double speed = static_cast<double>(written - startOffset) / std::max(elapsed, 0.01);
        const auto remaining = static_cast<long long>(static_cast<double>(size - written) / std::max(speed, 1.0));
        constexpr double mebibyte = 1048576.0;
        emitLine(megaProgressLine(static_cast<double>(written) / static_cast<double>(size) * 100.0, speed / mebibyte,
                                  remaining, static_cast<double>(size) / mebibyte));
        offset = written;
    }

    if (::fsync(partial.get()) != 0)
        return FileSystem::error(QStringLiteral("Could not save"), partialPath);
    emitLine(QLatin1String(WorkerProtocol::status) + QStringLiteral("Decrypting and verifying file\u2026"));
    if (const auto decrypted = decryptFile(partialPath, output.path, link); !decrypted)
        return decrypted.error();
    if (const auto moved = FileSystem::moveWithoutReplacing(output.path, target); !moved)
        return moved.error();
    if (::unlink(QFile::encodeName(partialPath).constData()) != 0)
        return FileSystem::error(QStringLiteral("Could not remove"), partialPath);
    emitLine(QLatin1String(WorkerProtocol::file) + target);
    return done;
}

} // namespace MegaDownload
