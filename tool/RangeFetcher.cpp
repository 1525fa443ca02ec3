#include "tool/RangeFetcher.h"

#include "model/WorkerProtocol.h"
#include "tool/HttpClient.h"

#include <curl/curl.h>

#include <cstdlib>

struct RangeFetcher::Slot {
    CURL *easy = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Range range;
    bool busy = false;     // a request is under way or its range waits to be handed over
    bool finished = false; // the request ended
    CURLcode code = CURLE_OK;
    int attempts = 0; // of the range in hand
};

namespace {

// A connection that delivers less than this for the whole no-data time is
// dropped and its range asked again, a few times: a server that trickles
// would otherwise hold a range for the hour a request may last.
constexpr long slowestBytesPerSecond = 512;
constexpr int attemptsPerRange = 3;

size_t collect(char *data, size_t size, size_t count, void *target)
{
    auto *range = static_cast<RangeFetcher::Range *>(target);
    const auto length = static_cast<qsizetype>(size * count);
    if (range->body.size() + length > range->expected) {
        range->longer = true;
        return 0; // stops the transfer: the range is unusable anyway
    }
    range->body.append(data, length);
    return size * count;
}

} // namespace

int RangeFetcher::connectionsFromEnvironment()
{
    const char *text = std::getenv("LARK_MEGA_CONNECTIONS");
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 4;
}

RangeFetcher::RangeFetcher(const QString &base, qint64 offset, qint64 size, qint64 rangeBytes, int connections) :
    m_base(base),
    m_size(size),
    m_rangeBytes(rangeBytes),
    m_nextFirst(offset),
    m_deliver(offset)
{
    m_multi = curl_multi_init();
    m_share = curl_share_init();
    // One TLS handshake is enough for all the connections to one server.
    curl_share_setopt(static_cast<CURLSH *>(m_share), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(static_cast<CURLSH *>(m_share), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_multi_setopt(static_cast<CURLM *>(m_multi), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connections));
    for (int i = 0; i < connections; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->easy = static_cast<CURL *>(newCurlHandle(std::chrono::seconds(3600), slot->errorBuffer));
        curl_easy_setopt(slot->easy, CURLOPT_SHARE, m_share);
        curl_easy_setopt(slot->easy, CURLOPT_LOW_SPEED_LIMIT, slowestBytesPerSecond);
        curl_easy_setopt(slot->easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(slot->easy, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(slot->easy, CURLOPT_WRITEDATA, &slot->range);
        curl_easy_setopt(slot->easy, CURLOPT_PRIVATE, slot.get());
        m_slots.push_back(std::move(slot));
    }
    fill();
}

RangeFetcher::~RangeFetcher()
{
    for (const auto &slot : m_slots) {
        if (slot->busy && !slot->finished)
            curl_multi_remove_handle(static_cast<CURLM *>(m_multi), slot->easy);
        curl_easy_cleanup(slot->easy);
    }
    curl_multi_cleanup(static_cast<CURLM *>(m_multi));
    curl_share_cleanup(static_cast<CURLSH *>(m_share));
}

void RangeFetcher::request(Slot &slot)
{
    const qint64 first = m_nextFirst;
    const qint64 last = std::min(first + m_rangeBytes - 1, m_size - 1);
    m_nextFirst = last + 1;
    slot.range = Range{first, last - first + 1, 0, QByteArray(), false, -1};
    slot.attempts = 0;
    send(slot);
}

void RangeFetcher::send(Slot &slot)
{
    const qint64 first = slot.range.first;
    const qint64 last = first + slot.range.expected - 1;
    slot.range.body.clear();
    slot.range.body.reserve(slot.range.expected);
    slot.range.status = 0;
    slot.range.longer = false;
    slot.errorBuffer[0] = '\0';
    slot.busy = true;
    slot.finished = false;
    slot.code = CURLE_OK;
    ++slot.attempts;
    curl_easy_setopt(slot.easy, CURLOPT_URL,
                     (m_base + QStringLiteral("/%1-%2").arg(first).arg(last)).toUtf8().constData());
    curl_multi_add_handle(static_cast<CURLM *>(m_multi), slot.easy);
}

void RangeFetcher::fill()
{
    for (const auto &slot : m_slots) {
        if (m_stopped || m_nextFirst >= m_size)
            return;
        if (!slot->busy)
            request(*slot);
    }
}

MegaResult<Done> RangeFetcher::pump()
{
    auto *multi = static_cast<CURLM *>(m_multi);
    int running = 0;
    if (const CURLMcode code = curl_multi_perform(multi, &running); code != CURLM_OK)
        return MegaError{QStringLiteral("Could not reach MEGA: %1").arg(QString::fromUtf8(curl_multi_strerror(code)))};
    int left = 0;
    bool ended = false;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Slot *slot = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &slot);
        slot->code = message->data.result;
        if (slot->code == CURLE_OPERATION_TIMEDOUT && slot->attempts < attemptsPerRange && !m_stopped) {
            curl_multi_remove_handle(multi, slot->easy);
            send(*slot);
            continue;
        }
        curl_easy_getinfo(slot->easy, CURLINFO_RESPONSE_CODE, &slot->range.status);
        // When the quota resets, as MEGA tells it with its refusal.
        curl_header *timeLeft = nullptr;
        if (curl_easy_header(slot->easy, "X-MEGA-Time-Left", 0, CURLH_HEADER, -1, &timeLeft) == CURLHE_OK)
            slot->range.secondsLeft = quotaWaitSeconds(timeLeft->value).value_or(-1);
        slot->finished = true;
        ended = true;
        curl_multi_remove_handle(multi, slot->easy);
        // A range that failed ends the run when its turn comes; no more are started.
        const bool ok = (slot->code == CURLE_OK || (slot->code == CURLE_WRITE_ERROR && slot->range.longer)) &&
                        (slot->range.status == 200 || slot->range.status == 206) &&
                        slot->range.body.size() == slot->range.expected && !slot->range.longer;
        if (!ok)
            m_stopped = true;
    }
    // A range that just ended may be the next to hand over: no waiting then.
    if (running > 0 && !ended)
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    return done;
}

MegaResult<RangeFetcher::Range> RangeFetcher::next()
{
    while (true) {
        for (const auto &slot : m_slots) {
            if (!slot->busy || !slot->finished || slot->range.first != m_deliver)
                continue;
            slot->busy = false;
            if (slot->code != CURLE_OK && !(slot->code == CURLE_WRITE_ERROR && slot->range.longer)) {
                m_stopped = true;
                return curlTransportError(slot->code, slot->errorBuffer);
            }
            Range range = std::move(slot->range);
            m_deliver = range.first + range.expected;
            fill();
            // Send the new request now, not after the caller has decrypted and
            // written this range: every round trip it waits is lost time.
            int running = 0;
            curl_multi_perform(static_cast<CURLM *>(m_multi), &running);
            return range;
        }
        bool waiting = false;
        for (const auto &slot : m_slots)
            waiting = waiting || (slot->busy && slot->range.first == m_deliver);
        if (!waiting)
            return megaError("MEGA transfer ended early. Resume to retry.");
        if (const auto pumped = pump(); !pumped)
            return pumped.error();
    }
}
