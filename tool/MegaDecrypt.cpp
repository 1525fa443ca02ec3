#include "tool/MegaDecrypt.h"

#include "tool/FileSystem.h"
#include "tool/MegaCrypto.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 firstChunk = 131072;
constexpr qint64 growthLimit = 917504;
constexpr qint64 largestChunk = 1048576;

qint64 nextRequest(qint64 request)
{
    return std::min(request, growthLimit) + firstChunk;
}

} // namespace

qint64 megaChunkSize(int index)
{
    qint64 request = firstChunk;
    for (int k = 1; k < index; ++k)
        request = nextRequest(request);
    return request;
}

qint64 MegaStreamMac::boundaryAtOrBefore(qint64 position)
{
    qint64 boundary = 0;
    for (qint64 request = firstChunk; boundary + request <= position; request = nextRequest(request))
        boundary += request;
    return boundary;
}

MegaResult<std::unique_ptr<MegaStreamMac>> MegaStreamMac::create(const QByteArray &aesKey, const QByteArray &nonce,
                                                                 qint64 boundary, const QByteArray &mac)
{
    std::unique_ptr<MegaStreamMac> stream(new MegaStreamMac);
    const auto chunkMac = MegaChunkMac::create(aesKey, nonce + nonce);
    if (!chunkMac)
        return chunkMac.error();
    if (mac.size() != 16 || boundaryAtOrBefore(boundary) != boundary)
        return megaError("MEGA decryption failed.");
    stream->m_aesKey = aesKey;
    stream->m_chunkMac = *chunkMac;
    stream->m_mac = mac;
    // The size of the chunk that starts at the boundary.
    qint64 at = 0;
    qint64 request = firstChunk;
    for (; at < boundary; request = nextRequest(request))
        at += request;
    stream->m_boundary = boundary;
    stream->m_chunk = request;
    return stream;
}

MegaResult<Done> MegaStreamMac::fold()
{
    const auto blockMac = m_chunkMac->end();
    if (!blockMac)
        return blockMac.error();
    for (int i = 0; i < 16; ++i)
        m_mac[i] = static_cast<char>(m_mac[i] ^ (*blockMac)[i]);
    const auto chained = crypt(m_mac, m_aesKey, QByteArray(16, '\0'), true, true);
    if (!chained)
        return chained.error();
    m_mac = *chained;
    return done;
}

MegaResult<Done> MegaStreamMac::add(const char *data, qsizetype size)
{
    while (size > 0) {
        if (m_inChunk == 0) {
            if (const auto begun = m_chunkMac->begin(); !begun)
                return begun.error();
        }
        const qsizetype take = std::min<qint64>(m_chunk - m_inChunk, size);
        if (const auto added = m_chunkMac->add(data, take); !added)
            return added.error();
        m_inChunk += take;
        data += take;
        size -= take;
        if (m_inChunk < m_chunk)
            return done;
        if (const auto folded = fold(); !folded)
            return folded.error();
        m_boundary += m_chunk;
        m_chunk = nextRequest(m_chunk);
        m_inChunk = 0;
    }
    return done;
}

MegaResult<QByteArray> MegaStreamMac::finish()
{
    if (m_inChunk > 0) {
        if (const auto folded = fold(); !folded)
            return folded.error();
        m_boundary += m_inChunk;
        m_inChunk = 0;
    }
    QByteArray condensed(8, '\0');
    for (int i = 0; i < 4; ++i) {
        condensed[i] = static_cast<char>(m_mac[i] ^ m_mac[i + 4]);
        condensed[i + 4] = static_cast<char>(m_mac[i + 8] ^ m_mac[i + 12]);
    }
    return condensed;
}

MegaResult<Done> decryptFile(const QString &input, const QString &output, const MegaLink &link)
{
    const FileSystem::FileDescriptor in(::open(QFile::encodeName(input).constData(), O_RDONLY | O_CLOEXEC));
    if (!in.isOpen())
        return FileSystem::error(QStringLiteral("Could not open"), input);
    FileSystem::removeQuietly(output);
    const FileSystem::FileDescriptor out(
        ::open(QFile::encodeName(output).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.isOpen())
        return FileSystem::error(QStringLiteral("Could not create"), output);

    const QByteArray aesKey = link.aesKey();
    const QByteArray nonce = link.nonce();
    const auto decryptor = MegaCtrDecryptor::create(aesKey, nonce);
    if (!decryptor)
        return decryptor.error();
    const auto mac = MegaStreamMac::create(aesKey, nonce, 0, QByteArray(16, '\0'));
    if (!mac)
        return mac.error();

    QByteArray chunk(largestChunk, Qt::Uninitialized);
    qint64 position = 0;
    for (qint64 request = firstChunk;; request = nextRequest(request)) {
        const qsizetype count = FileSystem::readFull(in.get(), chunk.data(), request);
        if (count < 0)
            return FileSystem::error(QStringLiteral("Could not read"), input);
        if (count == 0)
            break;
        // Decrypted in place: one buffer holds the chunk as ciphertext, then as plaintext.
        if (!(*decryptor)->update(chunk.constData(), chunk.data(), count))
            return megaError("MEGA decryption failed.");
        if (!FileSystem::writeAll(out.get(), chunk.constData(), count))
            return FileSystem::error(QStringLiteral("Could not write"), output);
        FileSystem::startWriteback(out.get(), position, count);
        position += count;
        if (const auto added = (*mac)->add(chunk.constData(), count); !added)
            return added.error();
    }

    const auto finished = (*mac)->finish();
    if (!finished)
        return finished.error();
    const QByteArray &condensed = *finished;
    if (condensed != link.expectedMac()) {
        FileSystem::removeQuietly(output);
        return megaError("MEGA integrity check failed. Remove the encrypted .part file and retry.");
    }
    if (::fsync(out.get()) != 0)
        return FileSystem::error(QStringLiteral("Could not save"), output);
    return done;
}
