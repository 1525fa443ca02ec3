#pragma once

#include "tool/MegaCbcLanes.h"
#include "tool/MegaError.h"
#include "tool/MegaLink.h"

#include <QString>

#include <memory>

// Size of the k-th chunk (from 1) over which MEGA computes its chunk MACs.
qint64 megaChunkSize(int index);

// The file's MAC, worked out as its plaintext arrives in order, in pieces of
// any size: each chunk's MAC runs on across pieces and is folded into the
// running MAC when the chunk is complete. Nothing is copied.
class MegaStreamMac {
public:
    // Continues from a chunk boundary with the running MAC up to it (16 zero bytes at 0).
    static MegaResult<std::unique_ptr<MegaStreamMac>> create(const QByteArray &aesKey, const QByteArray &nonce,
                                                             qint64 boundary, const QByteArray &mac);

    MegaResult<Done> add(const char *data, qsizetype size);
    // The end of the last whole chunk folded in, and the running MAC there.
    qint64 boundary() const { return m_boundary; }
    QByteArray mac() const { return m_mac; }
    // The 8-byte condensed MAC of everything added; the chunk still waiting counts as the last.
    MegaResult<QByteArray> finish();

    // The last chunk boundary at or before position.
    static qint64 boundaryAtOrBefore(qint64 position);

private:
    MegaStreamMac() = default;
    // Advances a CBC state over one block.
    MegaResult<Done> oneBlock(unsigned char *state, const unsigned char *block);
    // Adds the whole block in m_tail to the current chunk.
    MegaResult<Done> addTail();
    MegaResult<Done> fold(const unsigned char *chunkMac);
    MegaResult<Done> chunkEnded(const unsigned char *chunkMac);

    std::unique_ptr<MegaCbcLanes> m_lanes;
    unsigned char m_iv[16] = {};
    qint64 m_boundary = 0;
    qint64 m_chunk = 0;             // the size of the chunk that starts at m_boundary
    qint64 m_inChunk = 0;           // how much of it has been added
    unsigned char m_state[16] = {}; // its CBC state so far
    unsigned char m_tail[16] = {};  // an AES block not yet whole
    int m_tailSize = 0;
    QByteArray m_mac;
};

// Decrypts the complete ciphertext in input into output (created 0600,
// replacing any earlier one) and checks it against the file key's MAC. On a
// mismatch output is removed; input is never touched.
MegaResult<Done> decryptFile(const QString &input, const QString &output, const MegaLink &link);
