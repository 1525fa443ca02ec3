#include "tool/MegaDecrypt.h"

#include "tool/FileSystem.h"
#include "tool/MegaCbcLanes.h"
#include "tool/MegaCrypto.h"

#include <QFile>

#include <cstring>
#include <vector>

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
    auto lanes = MegaCbcLanes::create(aesKey);
    if (!lanes)
        return lanes.error();
    if (nonce.size() != 8 || mac.size() != 16 || boundaryAtOrBefore(boundary) != boundary)
        return megaError("MEGA decryption failed.");
    stream->m_lanes = std::move(lanes).value();
    const QByteArray iv = nonce + nonce;
    std::memcpy(stream->m_iv, iv.constData(), 16);
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

MegaResult<Done> MegaStreamMac::oneBlock(unsigned char *state, const unsigned char *block)
{
    MegaCbcLanes::Lane lane{};
    std::memcpy(lane.state, state, 16);
    lane.data = reinterpret_cast<const char *>(block);
    lane.blocks = 1;
    if (const auto advanced = m_lanes->advance(&lane, 1); !advanced)
        return advanced.error();
    std::memcpy(state, lane.state, 16);
    return done;
}

MegaResult<Done> MegaStreamMac::addTail()
{
    if (m_inChunk == 0)
        std::memcpy(m_state, m_iv, 16);
    return oneBlock(m_state, m_tail);
}

MegaResult<Done> MegaStreamMac::fold(const unsigned char *chunkMac)
{
    // CBC over one block from the running MAC: AES(mac ^ chunk MAC).
    unsigned char mac[16];
    std::memcpy(mac, m_mac.constData(), 16);
    if (const auto folded = oneBlock(mac, chunkMac); !folded)
        return folded.error();
    m_mac = QByteArray(reinterpret_cast<const char *>(mac), 16);
    return done;
}

MegaResult<Done> MegaStreamMac::chunkEnded(const unsigned char *chunkMac)
{
    if (const auto folded = fold(chunkMac); !folded)
        return folded.error();
    m_boundary += m_chunk;
    m_chunk = nextRequest(m_chunk);
    m_inChunk = 0;
    return done;
}

MegaResult<Done> MegaStreamMac::add(const char *data, qsizetype size)
{
    // An AES block cut between two pieces is completed first.
    if (m_tailSize > 0) {
        const int take = static_cast<int>(std::min<qint64>(16 - m_tailSize, size));
        std::memcpy(m_tail + m_tailSize, data, static_cast<size_t>(take));
        m_tailSize += take;
        data += take;
        size -= take;
        if (m_tailSize < 16)
            return done;
        m_tailSize = 0;
        if (const auto added = addTail(); !added)
            return added.error();
        m_inChunk += 16;
        if (m_inChunk == m_chunk) {
            if (const auto ended = chunkEnded(m_state); !ended)
                return ended.error();
        }
    }

    // One lane per chunk the piece touches: the rest of the current one,
    // the whole ones, and the start of the next.
    const qint64 blocks = size / 16;
    std::vector<MegaCbcLanes::Lane> lanes;
    std::vector<qint64> counts; // each lane's blocks: advancing uses them up
    std::vector<bool> completes;
    qint64 at = 0;
    qint64 chunk = m_chunk;
    qint64 inChunk = m_inChunk;
    while (at < blocks) {
        const qint64 wanted = (chunk - inChunk) / 16;
        const qint64 taken = std::min(wanted, blocks - at);
        MegaCbcLanes::Lane lane{};
        std::memcpy(lane.state, inChunk == 0 ? m_iv : m_state, 16);
        lane.data = data + 16 * at;
        lane.blocks = taken;
        lanes.push_back(lane);
        counts.push_back(taken);
        completes.push_back(taken == wanted);
        at += taken;
        if (taken == wanted) {
            chunk = nextRequest(chunk);
            inChunk = 0;
        } else {
            inChunk += 16 * taken;
        }
    }
    if (const auto advanced = m_lanes->advance(lanes.data(), static_cast<int>(lanes.size())); !advanced)
        return advanced.error();
    for (size_t i = 0; i < lanes.size(); ++i) {
        if (completes[i]) {
            if (const auto ended = chunkEnded(lanes[i].state); !ended)
                return ended.error();
        } else {
            std::memcpy(m_state, lanes[i].state, 16);
            m_inChunk += 16 * counts[i];
        }
    }

    m_tailSize = static_cast<int>(size % 16);
    std::memcpy(m_tail, data + 16 * blocks, static_cast<size_t>(m_tailSize));
    return done;
}

MegaResult<QByteArray> MegaStreamMac::finish()
{
    // The last chunk may be short, its last block zero-padded.
    if (m_tailSize > 0) {
        std::memset(m_tail + m_tailSize, 0, static_cast<size_t>(16 - m_tailSize));
        if (const auto added = addTail(); !added)
            return added.error();
        m_inChunk += m_tailSize;
        m_tailSize = 0;
    }
    if (m_inChunk > 0) {
        if (const auto folded = fold(m_state); !folded)
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
