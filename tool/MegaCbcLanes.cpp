#include "tool/MegaCbcLanes.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LARK_HAVE_AESNI 1
#endif

namespace {

MegaError failure()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    return MegaError{
        QStringLiteral("MEGA cryptography failed (%1).").arg(code == 0 ? -1LL : static_cast<long long>(code))};
}

constexpr int widest = 8;

#ifdef LARK_HAVE_AESNI

template <int Rcon>
__attribute__((target("aes"))) __m128i nextRoundKey(__m128i key)
{
    __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(key, Rcon), 0xff);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

__attribute__((target("aes"))) void expandKey(const unsigned char *key, unsigned char *roundKeys)
{
    __m128i k[11];
    k[0] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(key));
    k[1] = nextRoundKey<0x01>(k[0]);
    k[2] = nextRoundKey<0x02>(k[1]);
    k[3] = nextRoundKey<0x04>(k[2]);
    k[4] = nextRoundKey<0x08>(k[3]);
    k[5] = nextRoundKey<0x10>(k[4]);
    k[6] = nextRoundKey<0x20>(k[5]);
    k[7] = nextRoundKey<0x40>(k[6]);
    k[8] = nextRoundKey<0x80>(k[7]);
    k[9] = nextRoundKey<0x1b>(k[8]);
    k[10] = nextRoundKey<0x36>(k[9]);
    for (int i = 0; i < 11; ++i)
        _mm_store_si128(reinterpret_cast<__m128i *>(roundKeys + 16 * i), k[i]);
}

// N lanes, the same number of blocks each.
template <int N>
__attribute__((target("aes"))) void cbcTogether(const unsigned char *roundKeys, MegaCbcLanes::Lane **lanes,
                                                qint64 blocks)
{
    __m128i k[11];
    for (int i = 0; i < 11; ++i)
        k[i] = _mm_load_si128(reinterpret_cast<const __m128i *>(roundKeys + 16 * i));
    __m128i s[N];
    const char *data[N];
    for (int j = 0; j < N; ++j) {
        s[j] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lanes[j]->state));
        data[j] = lanes[j]->data;
    }
    for (qint64 b = 0; b < blocks; ++b) {
#pragma GCC unroll 8
        for (int j = 0; j < N; ++j)
            s[j] =
                _mm_xor_si128(_mm_xor_si128(s[j], _mm_loadu_si128(reinterpret_cast<const __m128i *>(data[j]))), k[0]);
#pragma GCC unroll 9
        for (int r = 1; r < 10; ++r) {
#pragma GCC unroll 8
            for (int j = 0; j < N; ++j)
                s[j] = _mm_aesenc_si128(s[j], k[r]);
        }
#pragma GCC unroll 8
        for (int j = 0; j < N; ++j) {
            s[j] = _mm_aesenclast_si128(s[j], k[10]);
            data[j] += 16;
        }
    }
    for (int j = 0; j < N; ++j) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes[j]->state), s[j]);
        lanes[j]->data = data[j];
        lanes[j]->blocks -= blocks;
    }
}

using Together = void (*)(const unsigned char *, MegaCbcLanes::Lane **, qint64);
constexpr Together together[widest + 1] = {nullptr,        cbcTogether<1>, cbcTogether<2>,
                                           cbcTogether<3>, cbcTogether<4>, cbcTogether<5>,
                                           cbcTogether<6>, cbcTogether<7>, cbcTogether<8>};

#endif

} // namespace

MegaResult<std::unique_ptr<MegaCbcLanes>> MegaCbcLanes::create(const QByteArray &key, bool useAesNi)
{
    std::unique_ptr<MegaCbcLanes> lanes(new MegaCbcLanes);
    if (key.size() != 16)
        return failure();
    lanes->m_key = key;
#ifdef LARK_HAVE_AESNI
    lanes->m_aesNi = useAesNi && __builtin_cpu_supports("aes");
    if (lanes->m_aesNi)
        expandKey(reinterpret_cast<const unsigned char *>(key.constData()), lanes->m_roundKeys);
#else
    Q_UNUSED(useAesNi);
#endif
    if (!lanes->m_aesNi) {
        lanes->m_context = EVP_CIPHER_CTX_new();
        lanes->m_scratch.resize(64 * 1024 + 16);
        if (!lanes->m_context)
            return failure();
    }
    return lanes;
}

MegaCbcLanes::~MegaCbcLanes()
{
    EVP_CIPHER_CTX_free(m_context);
}

MegaResult<Done> MegaCbcLanes::advancePortably(Lane &lane)
{
    if (lane.blocks == 0)
        return done;
    if (EVP_EncryptInit_ex(m_context, EVP_aes_128_cbc(), nullptr,
                           reinterpret_cast<const unsigned char *>(m_key.constData()), lane.state) != 1 ||
        EVP_CIPHER_CTX_set_padding(m_context, 0) != 1)
        return failure();
    auto *scratch = reinterpret_cast<unsigned char *>(m_scratch.data());
    const qint64 piece = (m_scratch.size() - 16) / 16;
    // Only the last cipher block matters, so the output goes through one small scratch buffer.
    while (lane.blocks > 0) {
        const qint64 blocks = std::min(piece, lane.blocks);
        int moved = 0;
        if (EVP_EncryptUpdate(m_context, scratch, &moved, reinterpret_cast<const unsigned char *>(lane.data),
                              static_cast<int>(blocks * 16)) != 1 ||
            moved != blocks * 16)
            return failure();
        std::memcpy(lane.state, scratch + moved - 16, 16);
        lane.data += blocks * 16;
        lane.blocks -= blocks;
    }
    return done;
}

MegaResult<Done> MegaCbcLanes::advance(Lane *lanes, int count)
{
    if (!m_aesNi) {
        for (int i = 0; i < count; ++i) {
            if (const auto advanced = advancePortably(lanes[i]); !advanced)
                return advanced.error();
        }
        return done;
    }
#ifdef LARK_HAVE_AESNI
    // The unfinished lanes, up to eight at a time, as far as the shortest of them goes.
    while (true) {
        Lane *group[widest];
        int size = 0;
        qint64 shortest = 0;
        for (int i = 0; i < count && size < widest; ++i) {
            if (lanes[i].blocks == 0)
                continue;
            shortest = size == 0 ? lanes[i].blocks : std::min(shortest, lanes[i].blocks);
            group[size++] = &lanes[i];
        }
        if (size == 0)
            return done;
        together[size](m_roundKeys, group, shortest);
    }
#else
    return done;
#endif
}
