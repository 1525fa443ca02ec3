#pragma once

#include "tool/MegaError.h"

#include <QByteArray>
#include <QString>

#include <memory>

// One-shot AES without padding. data must be whole 16-byte blocks; iv is
// ignored in ECB mode.
MegaResult<QByteArray> crypt(const QByteArray &data, const QByteArray &key, const QByteArray &iv, bool encrypt,
                             bool ecb = false);

// Lenient base64url: pads and decodes; "Invalid MEGA decryption key." on failure.
MegaResult<QByteArray> b64(const QString &text);

// Base64url without padding.
QString megaKeyString(const QByteArray &bytes);

// The AES key of a 16-byte key is the key; of a 32-byte file key, its halves XORed.
QByteArray foldedKey(const QByteArray &key);
// Bytes 16 to 23 of a 32-byte file key.
QByteArray fileNonce(const QByteArray &fileKey);

// Decrypts a node's attribute block and reads the name from it.
MegaResult<QString> megaAttributeName(const QString &attributes, const QByteArray &key);

// Streaming AES-128-CTR with a 16-byte big-endian counter that starts at
// nonce followed by eight zero bytes; the keystream position carries across
// calls.
class MegaCtrDecryptor {
public:
    // blockOffset: the keystream starts at that 16-byte block of the file.
    static MegaResult<std::shared_ptr<MegaCtrDecryptor>> create(const QByteArray &key, const QByteArray &nonce,
                                                                qint64 blockOffset = 0);
    ~MegaCtrDecryptor();
    MegaCtrDecryptor(const MegaCtrDecryptor &) = delete;
    MegaCtrDecryptor &operator=(const MegaCtrDecryptor &) = delete;

    // Decrypts size bytes from in to out (which may be the same buffer).
    bool update(const char *in, char *out, qsizetype size);

private:
    MegaCtrDecryptor() = default;
    struct evp_cipher_ctx_st *m_context = nullptr;
};
