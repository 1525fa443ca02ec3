#pragma once

#include "tool/MegaError.h"

#include <QByteArray>

#include <memory>

// AES-128 CBC states advanced over several independent inputs at once. A
// file's chunk MACs do not depend on one another, so with AES-NI the blocks
// of up to eight chunks go through the rounds together instead of each
// waiting on the block before it; without it, OpenSSL's CBC serves.
class MegaCbcLanes {
public:
    struct Lane {
        unsigned char state[16]; // the last cipher block so far (the IV before any)
        const char *data;
        qint64 blocks; // whole 16-byte blocks at data
    };

    // useAesNi false forces the portable path (for tests).
    static MegaResult<std::unique_ptr<MegaCbcLanes>> create(const QByteArray &key, bool useAesNi = true);
    ~MegaCbcLanes();
    MegaCbcLanes(const MegaCbcLanes &) = delete;
    MegaCbcLanes &operator=(const MegaCbcLanes &) = delete;

    // Advances every lane's state over its blocks.
    MegaResult<Done> advance(Lane *lanes, int count);

private:
    MegaCbcLanes() = default;
    MegaResult<Done> advancePortably(Lane &lane);

    alignas(16) unsigned char m_roundKeys[11 * 16] = {};
    bool m_aesNi = false;
    QByteArray m_key;
    QByteArray m_scratch;
    struct evp_cipher_ctx_st *m_context = nullptr;
};
