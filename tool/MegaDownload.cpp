#include "tool/MegaDownload.h"

#include "model/ByteCount.h"
#include "model/JsonFields.h"
#include "model/WorkerProtocol.h"
#include "tool/Emit.h"
#include "tool/FileSystem.h"
#include "tool/HttpClient.h"
#include "tool/Interrupt.h"
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
#include <openssl/sha.h>
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

// What the row shows while bytes arrive: counted as they come, at most a few
// times a second, never going back, with the speed of the last seconds.
class ProgressMeter {
public:
    explicit ProgressMeter(qint64 size) : m_size(size) {}

    void report(qint64 arrived, bool now = false)
    {
        const auto time = std::chrono::steady_clock::now();
        if (!now && m_reported && time - m_lastReport < std::chrono::milliseconds(400))
            return;
        m_shown = std::clamp(arrived, m_shown, m_size);
        m_samples.push_back({time, m_shown});
        while (m_samples.size() > 2 && time - m_samples[1].time >= std::chrono::seconds(5))
            m_samples.erase(m_samples.begin());
        const Sample &oldest = m_samples.front();
        const double span = std::chrono::duration<double>(time - oldest.time).count();
        const double speed = span > 0.2 ? static_cast<double>(m_shown - oldest.bytes) / span : 0.0;
        const std::optional<qint64> left =
            speed > 0 ? std::optional<qint64>(static_cast<qint64>(static_cast<double>(m_size - m_shown) / speed))
                      : std::nullopt;
        emitLine(megaProgressLine(m_shown, m_size, speed, m_shown == m_size ? std::optional<qint64>(0) : left));
        m_lastReport = time;
        m_reported = true;
    }

private:
    struct Sample {
        std::chrono::steady_clock::time_point time;
        qint64 bytes;
    };
    qint64 m_size;
    qint64 m_shown = 0;
    bool m_reported = false;
    std::chrono::steady_clock::time_point m_lastReport;
    std::vector<Sample> m_samples;
};

// How much data may arrive between two saved MAC states.
constexpr qint64 stateInterval = 4 * rangeSize;

// The MAC state beside the partial: how far the partial is plaintext that the
// running MAC covers, so a resumed run need not read it again. Its own
// checksum and the file's fingerprint catch a damaged or foreign state.
struct MacState {
    qint64 position = 0;
    QByteArray mac;
    bool cipherBeyond = false; // past position, the partial still holds an earlier version's ciphertext

    static constexpr char magic[] = "LARKMAC1";
    static constexpr qsizetype bodySize = 8 + 8 + 16 + 1 + 8;
    static constexpr qsizetype fileSize = bodySize + 8;

    static QByteArray digest(const QByteArray &data)
    {
        unsigned char out[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char *>(data.constData()), static_cast<size_t>(data.size()), out);
        return QByteArray(reinterpret_cast<const char *>(out), 8);
    }

    static QByteArray fingerprint(const QByteArray &aesKey, const QByteArray &nonce, qint64 size)
    {
        return digest(aesKey + nonce + QByteArray::number(size));
    }

    static std::optional<MacState> read(const QString &path, const QByteArray &fingerprint)
    {
        const auto opened = FileSystem::openRegularFile(path, O_RDONLY);
        if (!opened)
            return std::nullopt;
        const FileSystem::FileDescriptor file(*opened);
        QByteArray bytes(fileSize + 1, Qt::Uninitialized);
        bytes.truncate(std::max<qsizetype>(0, FileSystem::readFull(file.get(), bytes.data(), bytes.size())));
        if (bytes.size() != fileSize || !bytes.startsWith(magic) ||
            digest(bytes.first(bodySize)) != bytes.sliced(bodySize) || bytes.sliced(33, 8) != fingerprint)
            return std::nullopt;
        MacState state;
        quint64 position = 0;
        for (int i = 0; i < 8; ++i)
            position |= static_cast<quint64>(static_cast<unsigned char>(bytes[8 + i])) << (8 * i);
        state.position = static_cast<qint64>(position);
        state.mac = bytes.sliced(16, 16);
        state.cipherBeyond = bytes[32] != 0;
        if (state.position < 0 || MegaStreamMac::boundaryAtOrBefore(state.position) != state.position)
            return std::nullopt;
        return state;
    }

    // Flushes the partial first, then replaces the state whole.
    static MegaResult<Done> save(const QString &path, int partial, const QString &partialPath, const MacState &state,
                                 const QByteArray &fingerprint)
    {
        if (::fdatasync(partial) != 0)
            return FileSystem::error(QStringLiteral("Could not save"), partialPath);
        QByteArray bytes(magic, 8);
        for (int i = 0; i < 8; ++i)
            bytes.append(static_cast<char>((static_cast<quint64>(state.position) >> (8 * i)) & 0xff));
        bytes += state.mac;
        bytes.append(state.cipherBeyond ? '\1' : '\0');
        bytes += fingerprint;
        bytes += digest(bytes);
        // Made afresh, so nothing else that was put under the name (a FIFO, a link) is ever opened.
        const QString temporary = path + QStringLiteral(".new");
        FileSystem::removeQuietly(temporary);
        const FileSystem::FileDescriptor file(::open(QFile::encodeName(temporary).constData(),
                                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        // The state itself needs no flush: one lost or torn by a crash fails
        // its checksum and is rebuilt from the partial, which is on disk.
        if (!file.isOpen() || !FileSystem::writeAll(file.get(), bytes.constData(), bytes.size()) ||
            ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
            const MegaError failed = FileSystem::error(QStringLiteral("Could not save"), path);
            FileSystem::removeQuietly(temporary);
            return failed;
        }
        return done;
    }
};

// The longest start of text of at most maxChars characters and maxBytes bytes
// of UTF-8. Characters are what the reader sees as one, so a cut never splits one.
QString cutToLength(const QString &text, qsizetype maxChars, qsizetype maxBytes)
{
    QList<qsizetype> ends;
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator *graphemes = ubrk_open(UBRK_CHARACTER, "", reinterpret_cast<const UChar *>(text.utf16()),
                                          static_cast<int32_t>(text.size()), &status);
    if (U_SUCCESS(status)) {
        for (int32_t at = ubrk_next(graphemes); at != UBRK_DONE && ends.size() < maxChars; at = ubrk_next(graphemes))
            ends.append(at);
    } else {
        // Without the break rules, never split a surrogate pair at least.
        for (qsizetype at = 1; at <= text.size() && ends.size() < maxChars; ++at) {
            if (at == text.size() || !text.at(at).isLowSurrogate())
                ends.append(at);
        }
    }
    ubrk_close(graphemes);
    QString cut = text.first(ends.isEmpty() ? 0 : ends.last());
    while (!ends.isEmpty() && cut.toUtf8().size() > maxBytes) {
        ends.removeLast();
        cut.truncate(ends.isEmpty() ? 0 : ends.last());
    }
    return cut;
}

// An extension worth keeping when a name is cut: short, as extensions are.
constexpr qsizetype longestExtension = 16;

} // namespace

QString safeFileName(const QString &name)
{
    QString safe = name;
    for (QChar &c : safe) {
        if (c == QLatin1Char('/') || c == QLatin1Char(':') || c == QLatin1Char('\\') || c == QLatin1Char('\n') ||
            c == QLatin1Char('\r') || c == QChar(0))
            c = QLatin1Char('_');
    }
    safe = printableText(safe);
    // A name cut to length keeps its extension, so the file still opens with the right program.
    const auto [base, extension] = splitExtension(safe);
    const qsizetype extensionBytes = extension.toUtf8().size();
    if (!extension.isEmpty() && extensionBytes <= longestExtension)
        safe = cutToLength(base, longestName - 1 - extension.size(), longestName - 1 - extensionBytes) +
               QLatin1Char('.') + extension;
    else
        safe = cutToLength(safe, longestName, longestName);
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

namespace {

// Where one job keeps its data between runs, and what identifies the file it belongs to.
struct JobFiles {
    QString folder;
    QString partial;
    QString state;
    QByteArray fingerprint;
};

// Brings the job's partial to the whole plaintext of the file, continuing from
// what an earlier run left, and checks it against the file's integrity code.
// False when it does not match; the partial is then as untrustworthy as it is whole.
MegaResult<bool> fetchVerified(const MegaLink &link, const DownloadInfo &info, const JobFiles &files)
{
    const qint64 size = info.size;
    const auto opened = FileSystem::openRegularFile(files.partial, O_RDWR | O_CREAT);
    if (!opened)
        return opened.error();
    const FileSystem::FileDescriptor partial(*opened);
    const QString &partialPath = files.partial;
    const QString &statePath = files.state;
    struct stat status {};
    if (::fstat(partial.get(), &status) != 0)
        return FileSystem::error(QStringLiteral("Could not read"), partialPath);
    qint64 length = status.st_size;
    const QByteArray aesKey = link.aesKey();
    const QByteArray nonce = link.nonce();
    const QByteArray &fingerprint = files.fingerprint;

    // What the partial holds: plaintext verified up to a saved state, or, with
    // no state at all, the ciphertext an earlier version of the tool kept.
    std::optional<MacState> state = MacState::read(statePath, fingerprint);
    if (length > size) {
        length = 0;
        state.reset();
    }
    // A size the folder cannot hold is refused before anything is fetched.
    if (const auto room = FileSystem::freeSpace(files.folder); room && size - length > *room)
        return MegaError{QStringLiteral("There is not enough free space in %1 for this file: it needs %2 more.")
                             .arg(files.folder, formatByteCount(size - length - *room)),
                         FailureKind::disk, std::nullopt};
    if (state && state->position > length)
        state.reset(); // stale: a damaged state is rebuilt from the plaintext
    const bool cipherBeyond = state ? state->cipherBeyond : !FileSystem::exists(statePath) && length > 0;
    const qint64 verified = state ? state->position : 0;
    const auto mac = MegaStreamMac::create(aesKey, nonce, verified, state ? state->mac : QByteArray(16, '\0'));
    if (!mac)
        return mac.error();
    MegaStreamMac &stream = **mac;
    // Whatever lies beyond the saved state is read and verified again; the
    // transfer goes on from there (from a whole AES block, so a write cut
    // short loses at most 15 bytes).
    const qint64 resumeAt = length == size ? length : length - length % 16;
    if (resumeAt < verified)
        return megaError("MEGA decryption failed.");
    {
        const auto converter = MegaCtrDecryptor::create(aesKey, nonce, verified / 16);
        if (!converter)
            return converter.error();
        QByteArray block(1048576, Qt::Uninitialized);
        qint64 unsaved = 0;
        for (qint64 at = verified; at < resumeAt;) {
            // Nothing new was fetched yet: a pause now loses nothing.
            if (interruptRequested())
                endInterrupted();
            const qsizetype count = std::min<qint64>(block.size(), resumeAt - at);
            if (::lseek(partial.get(), at, SEEK_SET) != at ||
                FileSystem::readFull(partial.get(), block.data(), count) != count)
                return FileSystem::error(QStringLiteral("Could not read"), partialPath);
            if (cipherBeyond) {
                // Decrypted where it lies: the data is kept once, as plaintext.
                if (!(*converter)->update(block.constData(), block.data(), count))
                    return megaError("MEGA decryption failed.");
                if (::lseek(partial.get(), at, SEEK_SET) != at ||
                    !FileSystem::writeAll(partial.get(), block.constData(), count))
                    return FileSystem::error(QStringLiteral("Could not write"), partialPath);
            }
            if (const auto added = stream.add(block.constData(), count); !added)
                return added.error();
            at += count;
            unsaved += count;
            if (cipherBeyond && unsaved >= stateInterval) {
                if (const auto saved = MacState::save(statePath, partial.get(), partialPath,
                                                      {stream.boundary(), stream.mac(), true}, fingerprint);
                    !saved)
                    return saved.error();
                unsaved = 0;
            }
        }
    }
    if (::ftruncate(partial.get(), resumeAt) != 0 || ::lseek(partial.get(), resumeAt, SEEK_SET) != resumeAt)
        return FileSystem::error(QStringLiteral("Could not reset"), partialPath);
    if (const auto saved = MacState::save(statePath, partial.get(), partialPath,
                                          {stream.boundary(), stream.mac(), false}, fingerprint);
        !saved)
        return saved.error();
    qint64 offset = resumeAt;

    const auto decryptor = MegaCtrDecryptor::create(aesKey, nonce, offset / 16);
    if (!decryptor)
        return decryptor.error();
    QString base = info.url.toString(QUrl::FullyEncoded);
    while (base.startsWith(QLatin1Char('/')))
        base.remove(0, 1);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    // Several connections at once; the ranges still reach the file in order,
    // decrypted and folded into the MAC as they come.
    RangeFetcher fetcher(base, offset, size, rangeSize, RangeFetcher::connectionsFromEnvironment());
    ProgressMeter meter(size);
    meter.report(offset, true);
    fetcher.setWhileWaiting([&] { meter.report(offset + fetcher.arrivedAhead()); });
    qint64 unsaved = 0;
    while (offset < size) {
        auto next = fetcher.next();
        if (!next)
            return next.error();
        RangeFetcher::Range range = std::move(next).value();
        const qint64 first = range.first;
        const qint64 expected = range.expected;
        QByteArray &body = range.body;
        if (!(*decryptor)->update(body.constData(), body.data(), expected))
            return megaError("MEGA decryption failed.");
        if (const auto added = stream.add(body.constData(), expected); !added)
            return added.error();
        if (!FileSystem::writeAll(partial.get(), body.constData(), expected))
            return FileSystem::error(QStringLiteral("Could not write"), partialPath);
        FileSystem::startWriteback(partial.get(), first, expected);
        const qint64 written = first + expected;
        unsaved += expected;
        if (range.interrupted) {
            // Paused: what arrived in order is kept, and the state says how far it is checked.
            if (const auto saved = MacState::save(statePath, partial.get(), partialPath,
                                                  {stream.boundary(), stream.mac(), false}, fingerprint);
                !saved)
                return saved.error();
            endInterrupted();
        }
        // The state claims only what is on disk: it is saved after the data it covers was flushed.
        if (unsaved >= stateInterval && written < size) {
            if (const auto saved = MacState::save(statePath, partial.get(), partialPath,
                                                  {stream.boundary(), stream.mac(), false}, fingerprint);
                !saved)
                return saved.error();
            unsaved = 0;
        }
        offset = written;
        fetcher.giveBack(std::move(range.body));
        meter.report(offset + fetcher.arrivedAhead(), offset == size);
    }

    // What is left after the last byte: the MAC check, the flush and the move.
    emitLine(QLatin1String(WorkerProtocol::status) + QStringLiteral("Decrypting and verifying file\u2026"));
    const auto condensed = stream.finish();
    if (!condensed)
        return condensed.error();
    if (*condensed != link.expectedMac())
        return false;
    if (::fsync(partial.get()) != 0)
        return FileSystem::error(QStringLiteral("Could not save"), partialPath);
    return true;
}

} // namespace

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
    // The listing said how large the file is; a download of another size is not this file.
    if (node && node->size != info->size)
        return MegaError{QStringLiteral("MEGA offered %1 for this file, but the folder listed it as %2: fetch the "
                                        "folder again.")
                             .arg(formatByteCount(info->size), formatByteCount(node->size))};

    const QDir directory(QFileInfo(folder).absoluteFilePath());
    // A download folder that is not there yet is made.
    if (!directory.exists() && !QDir().mkpath(directory.absolutePath()))
        return MegaError{QStringLiteral("Could not create the download folder %1.").arg(directory.absolutePath()),
                         FailureKind::disk};
    // A file of a folder goes under the folders it is in, each name made safe as a file name is.
    QDir into = directory;
    for (const QString &folder : node ? node->folders : QStringList()) {
        const QString safe = safeFileName(folder);
        // Another run may make the same folder at the same moment: one made meanwhile is as good.
        if (!into.mkdir(safe) && !QFileInfo(into.filePath(safe)).isDir())
            return MegaError{QStringLiteral("Could not create the folder %1.").arg(into.filePath(safe)),
                             FailureKind::disk};
        into.setPath(into.filePath(safe));
    }
    // The plain name, and a tag only when the name is taken: the file's handle, then the job's.
    const QString name = safeFileName(info->name);
    QStringList targets{into.filePath(name)};
    if (node)
        targets.append(into.filePath(taggedName(name, node->nodeHandle)));
    targets.append(into.filePath(taggedName(name, job.left(8))));

    const JobFiles files{directory.absolutePath(), directory.filePath(QStringLiteral(".lark-%1.mega.part").arg(job)),
                         directory.filePath(QStringLiteral(".lark-%1.mega.state").arg(job)),
                         MacState::fingerprint(link.aesKey(), link.nonce(), info->size)};
    // A working file of an earlier version that did not get cleaned up.
    FileSystem::removeQuietly(directory.filePath(QStringLiteral(".lark-%1.decrypting").arg(job)));
    emitLine(QLatin1String(WorkerProtocol::title) + info->name);

    auto verified = fetchVerified(link, *info, files);
    if (verified && !*verified) {
        // Which bytes were damaged cannot be told, nor which run fetched them:
        // nothing of the partial is kept, and the file is fetched once more.
        FileSystem::removeQuietly(files.partial);
        FileSystem::removeQuietly(files.state);
        emitLine(QLatin1String(WorkerProtocol::status) +
                 QStringLiteral("The file did not match its integrity code: fetching it again\u2026"));
        verified = fetchVerified(link, *info, files);
        if (verified && !*verified) {
            // What failed twice would fail a retry the same way: nothing is left behind.
            FileSystem::removeQuietly(files.partial);
            FileSystem::removeQuietly(files.state);
            return megaError("MEGA integrity check failed: the file arrived damaged twice, so nothing of it was kept.",
                             FailureKind::integrity);
        }
    }
    if (!verified)
        return verified.error();
    // A name taken while the file was fetched (by another file of the same name) moves it to the next.
    QString target;
    for (const QString &candidate : std::as_const(targets)) {
        if (FileSystem::exists(candidate) && candidate != targets.last())
            continue;
        // Never over a file: when even the last name is taken, the move fails and the partial stays.
        if (const auto moved = FileSystem::moveWithoutReplacing(files.partial, candidate); !moved) {
            if (FileSystem::exists(candidate) && candidate != targets.last())
                continue;
            return moved.error();
        }
        target = candidate;
        break;
    }
    FileSystem::removeQuietly(files.state);
    emitLine(QLatin1String(WorkerProtocol::file) + target);
    return done;
}

} // namespace MegaDownload
