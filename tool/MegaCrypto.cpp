#include "tool/MegaCrypto.h"

#include "tool/JsonText.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

namespace {

MegaError cryptoFailure()
{
    // The library's own error code stands in the message; -1 when it recorded none.
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const long long status = code == 0 ? -1 : static_cast<long long>(code);
    return MegaError{QStringLiteral("MEGA cryptography failed (%1).").arg(status)};
}

// Fetched once: looking a cipher up on each call cost as much as the
// decryption of a listing entry's key and attributes.
const EVP_CIPHER *aesCipher(qsizetype keySize, bool ecb)
{
    static EVP_CIPHER *const ciphers[6] = {
        EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr), EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr), EVP_CIPHER_fetch(nullptr, "AES-192-CBC", nullptr),
        EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr), EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr),
    };
    if (keySize != 16 && keySize != 24 && keySize != 32)
        return nullptr;
    return ciphers[(keySize - 16) / 8 * 2 + (ecb ? 0 : 1)];
}

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

struct ContextDeleter {
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

} // namespace

MegaResult<QByteArray> crypt(const QByteArray &data, const QByteArray &key, const QByteArray &iv, bool encrypt,
                             bool ecb)
{
    const EVP_CIPHER *cipher = aesCipher(key.size(), ecb);
    const Context context(EVP_CIPHER_CTX_new());
    QByteArray ivBlock = iv.leftJustified(16, '\0', true);
    if (!cipher || !context ||
        EVP_CipherInit_ex(context.get(), cipher, nullptr, bytes(key), bytes(ivBlock), encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1)
        return cryptoFailure();
    QByteArray output(data.size() + 16, '\0');
    auto *out = reinterpret_cast<unsigned char *>(output.data());
    int moved = 0;
    int finalMoved = 0;
    if (data.size() > INT_MAX - 16 ||
        EVP_CipherUpdate(context.get(), out, &moved, bytes(data), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), out + moved, &finalMoved) != 1)
        return cryptoFailure();
    output.truncate(moved + finalMoved);
    return output;
}

MegaResult<QByteArray> b64(const QString &text)
{
    QByteArray standard = text.toUtf8();
    standard.replace('-', '+').replace('_', '/');
    standard.append((4 - standard.size() % 4) % 4, '=');
    auto decoded = QByteArray::fromBase64Encoding(standard, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return megaError("Invalid MEGA decryption key.");
    return decoded.decoded;
}

QString megaKeyString(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray foldedKey(const QByteArray &key)
{
    if (key.size() != 32)
        return key;
    QByteArray folded(16, '\0');
    for (int i = 0; i < 16; ++i)
        folded[i] = static_cast<char>(key[i] ^ key[i + 16]);
    return folded;
}

QByteArray fileNonce(const QByteArray &fileKey)
{
    return fileKey.mid(16, 8);
}

MegaResult<QString> megaAttributeName(const QString &attributes, const QByteArray &key)
{
    if (key.size() != 16 && key.size() != 32)
        return megaError("Invalid node key length.");
    const auto encrypted = b64(attributes);
    if (!encrypted)
        return encrypted.error();
    if (encrypted->isEmpty() || encrypted->size() % 16 != 0)
        return megaError("Invalid encrypted file attributes.");
    const auto plain = crypt(*encrypted, foldedKey(key), QByteArray(16, '\0'), false);
    if (!plain)
        return plain.error();
    if (!plain->startsWith("MEGA"))
        return megaError("The MEGA decryption key is incorrect.");
    qsizetype end = plain->indexOf('\0', 4);
    if (end < 0)
        end = plain->size();
    const auto document = parseJson(plain->sliced(4, end - 4));
    if (!document)
        return document.error();
    const QJsonValue name = document->object().value(QLatin1String("n"));
    if (!document->isObject() || !name.isString())
        return megaError("Could not read MEGA filename.");
    return name.toString();
}

MegaResult<std::shared_ptr<MegaCtrDecryptor>> MegaCtrDecryptor::create(const QByteArray &key, const QByteArray &nonce,
                                                                       qint64 blockOffset)
{
    std::shared_ptr<MegaCtrDecryptor> decryptor(new MegaCtrDecryptor);
    QByteArray counter = nonce + QByteArray(8, '\0');
    // The low half of the counter is the block number, big-endian.
    for (int i = 0; i < 8; ++i)
        counter[15 - i] = static_cast<char>((static_cast<quint64>(blockOffset) >> (8 * i)) & 0xff);
    decryptor->m_context = EVP_CIPHER_CTX_new();
    if (key.size() != 16 || counter.size() != 16 || !decryptor->m_context ||
        EVP_DecryptInit_ex(decryptor->m_context, EVP_aes_128_ctr(), nullptr, bytes(key), bytes(counter)) != 1 ||
        EVP_CIPHER_CTX_set_padding(decryptor->m_context, 0) != 1)
        return megaError("Could not initialize MEGA decryption.");
    return decryptor;
}

MegaCtrDecryptor::~MegaCtrDecryptor()
{
    EVP_CIPHER_CTX_free(m_context);
}

bool MegaCtrDecryptor::update(const char *in, char *out, qsizetype size)
{
    int moved = 0;
    return size <= INT_MAX &&
           EVP_DecryptUpdate(m_context, reinterpret_cast<unsigned char *>(out), &moved,
                             reinterpret_cast<const unsigned char *>(in), static_cast<int>(size)) == 1 &&
           moved == size;
}
