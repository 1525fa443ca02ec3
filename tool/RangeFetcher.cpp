#include "tool/RangeFetcher.h"

#include "model/WorkerProtocol.h"
#include "tool/Environment.h"
#include "tool/HttpClient.h"
#include "tool/Interrupt.h"

#include <curl/curl.h>

#include <algorithm>

using Clock = std::chrono::steady_clock;

struct RangeFetcher::Slot {
    RangeFetcher *owner = nullptr;
    CURL *easy = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Range range;
    bool longer = false;   // the server sent more than the range
    bool busy = false;     // a request is under way or waits, or its range waits to be handed over
    bool finished = false; // the range arrived whole, or failed for good
    std::optional<MegaError> failure;
    std::optional<Clock::time_point> resendAt;
    int tries = 0;       // of the range in hand
    bool paused = false; // by the rate limit
    // The range was cut short after it was asked for: its tail went to another connection.
    bool cut = false;
    Clock::time_point sentAt;
    std::optional<Clock::time_point> firstByteAt;
    qint64 triedFrom = 0; // what had arrived of the range when this try was sent

    bool receiving() const { return busy && !finished && !resendAt; }
    // Bytes a second on this try, once there is enough of it to tell; 0 until then.
    double rate(Clock::time_point now) const
    {
        if (!firstByteAt)
            return 0;
        const double seconds = std::chrono::duration<double>(now - *firstByteAt).count();
        const qint64 bytes = range.body.size() - triedFrom;
        return seconds < 0.1 || bytes < 65536 ? 0 : static_cast<double>(bytes) / seconds;
    }
    qint64 left() const { return range.expected - range.body.size(); }
};

namespace {

// A connection that delivers less than this for the whole no-data time is
// dropped and its range asked again: a server that trickles would otherwise
// hold a range for the hour a request may last.
constexpr long slowestBytesPerSecond = 512;
// How often the caller hears from a wait, and how soon an interrupt is seen.
constexpr auto waitSlice = std::chrono::milliseconds(200);
// A tail smaller than this is not worth a request of its own.
constexpr qint64 smallestTakeOver = 262144;

// With nothing arriving from any connection for this long, the run gives up;
// LARK_MEGA_GIVE_UP_SECONDS shortens it for tests.
std::chrono::seconds giveUpTime()
{
    static const std::chrono::seconds time(environmentNumber("LARK_MEGA_GIVE_UP_SECONDS", 1, 3600, 600));
    return time;
}

// Why an answer is not the range, and whether asking again may help.
MegaError statusError(long status, std::optional<qint64> secondsLeft)
{
    if (status == 509) {
        QString message = QStringLiteral("MEGA transfer quota reached. Resume after the quota resets.");
        if (secondsLeft) {
            const long long minutes = std::max(1LL, (*secondsLeft + 59) / 60);
            if (minutes < 90)
                message += minutes == 1 ? QStringLiteral(" About 1 minute left.")
                                        : QStringLiteral(" About %1 minutes left.").arg(minutes);
            else
                message += QStringLiteral(" About %1 hours left.").arg((minutes + 30) / 60);
        }
        return MegaError{message, FailureKind::quota, secondsLeft};
    }
    FailureKind kind = FailureKind::network;
    if (status >= 500 || status == 429)
        kind = FailureKind::busy;
    else if (status == 404 || status == 410)
        kind = FailureKind::notFound;
    else if (status == 401 || status == 403)
        kind = FailureKind::access;
    return MegaError{QStringLiteral("MEGA transfer failed (HTTP %1). Resume to retry.").arg(status), kind,
                     std::nullopt};
}

bool mayPassSoon(const MegaError &error)
{
    return error.kind == FailureKind::network || error.kind == FailureKind::busy;
}

} // namespace

size_t RangeFetcher::collect(char *data, size_t size, size_t count, void *target)
{
    auto *slot = static_cast<Slot *>(target);
    Range &range = slot->range;
    const auto length = static_cast<qsizetype>(size * count);
    const qsizetype room = range.expected - range.body.size();
    if (length > room && !slot->cut)
        return 0; // stops the transfer: the range is unusable anyway
    const qsizetype taken = std::min(length, room);
    if (!slot->owner->admit(taken)) {
        slot->paused = true;
        return CURL_WRITEFUNC_PAUSE; // curl keeps the bytes and hands them over again on release
    }
    if (!slot->firstByteAt) {
        slot->firstByteAt = Clock::now();
        const double latency = std::chrono::duration<double>(*slot->firstByteAt - slot->sentAt).count();
        double &known = slot->owner->m_latency;
        known = known == 0 ? latency : 0.7 * known + 0.3 * latency;
    }
    range.body.append(data, taken);
    // What is beyond a cut belongs to another connection: this transfer ends here.
    if (slot->cut && range.body.size() == range.expected)
        return 0;
    return size * count;
}

bool RangeFetcher::admit(qint64 bytes)
{
    if (m_rate <= 0)
        return true;
    const auto now = Clock::now();
    // A quarter of a second's worth may gather, no more: the limit holds over any second.
    m_tokens = std::min(m_rate / 4, m_tokens + m_rate * std::chrono::duration<double>(now - m_refilled).count());
    m_refilled = now;
    if (m_tokens <= 0)
        return false;
    m_tokens -= static_cast<double>(bytes);
    return true;
}

std::chrono::milliseconds RangeFetcher::releasePaused()
{
    if (m_rate <= 0)
        return std::chrono::milliseconds::max();
    admit(0);
    if (m_tokens <= 0)
        return std::chrono::milliseconds(static_cast<long long>(-m_tokens / m_rate * 1000) + 1);
    for (const auto &slot : m_slots) {
        if (slot->paused) {
            slot->paused = false;
            curl_easy_pause(slot->easy, CURLPAUSE_CONT);
        }
    }
    return std::chrono::milliseconds(5);
}

int RangeFetcher::connectionsFromEnvironment()
{
    return static_cast<int>(environmentNumber("LARK_MEGA_CONNECTIONS", 1, 16, 8));
}

RangeFetcher::RangeFetcher(const QString &base, qint64 offset, qint64 size, qint64 rangeBytes, int connections) :
    m_base(base),
    m_size(size),
    m_rangeBytes(rangeBytes),
    m_nextFirst(offset),
    m_deliver(offset),
    m_lastByteAt(Clock::now()),
    m_connections(connections),
    m_refilled(Clock::now())
{
    m_rate = static_cast<double>(environmentNumber("LARK_MEGA_RATE_LIMIT", 1024, 1LL << 40, 0));
    m_multi = curl_multi_init();
    // Twice the connections: a next request opens its own while the one before it ends.
    curl_multi_setopt(static_cast<CURLM *>(m_multi), CURLMOPT_MAX_HOST_CONNECTIONS, 2L * connections);
    curl_multi_setopt(static_cast<CURLM *>(m_multi), CURLMOPT_MAXCONNECTS, 2L * connections);
    for (int i = 0; i < 2 * connections; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->owner = this;
        slot->easy = static_cast<CURL *>(newCurlHandle(std::chrono::seconds(3600), slot->errorBuffer));
        curl_easy_setopt(slot->easy, CURLOPT_LOW_SPEED_LIMIT, slowestBytesPerSecond);
        curl_easy_setopt(slot->easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(slot->easy, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(slot->easy, CURLOPT_WRITEDATA, slot.get());
        curl_easy_setopt(slot->easy, CURLOPT_PRIVATE, slot.get());
        m_slots.push_back(std::move(slot));
    }
    fill();
}

RangeFetcher::~RangeFetcher()
{
    for (const auto &slot : m_slots) {
        if (slot->busy && !slot->finished && !slot->resendAt)
            curl_multi_remove_handle(static_cast<CURLM *>(m_multi), slot->easy);
        curl_easy_cleanup(slot->easy);
    }
    curl_multi_cleanup(static_cast<CURLM *>(m_multi));
}

qint64 RangeFetcher::arrivedAhead() const
{
    qint64 arrived = 0;
    for (const auto &slot : m_slots) {
        if (slot->busy)
            arrived += slot->range.body.size();
    }
    for (const auto &[first, range] : m_parked)
        arrived += range.body.size();
    return arrived;
}

qsizetype RangeFetcher::rangesHeld() const
{
    auto held = static_cast<qsizetype>(m_parked.size());
    for (const auto &slot : m_slots)
        held += slot->busy ? 1 : 0;
    return held;
}

void RangeFetcher::giveBack(QByteArray &&body)
{
    // Kept only while the buffers in memory stay within the most held at once
    // before, so the run's count of buffers never grows. Smaller ones are not worth keeping.
    if (body.capacity() < m_rangeBytes || !body.isDetached() ||
        rangesHeld() + static_cast<qsizetype>(m_spare.size()) + 1 > m_mostHeld)
        return;
    m_spare.push_back(std::move(body));
}

QByteArray RangeFetcher::bodyFor(qint64 bytes)
{
    // This range and the one the caller may be holding.
    m_mostHeld = std::max(m_mostHeld, rangesHeld() + 2);
    if (m_spare.empty() || bytes > m_spare.back().capacity())
        return QByteArray();
    QByteArray body = std::move(m_spare.back());
    m_spare.pop_back();
    // Emptied in place: clear() would hand the buffer back to the allocator.
    body.resize(0);
    return body;
}

void RangeFetcher::request(Slot &slot)
{
    const qint64 first = m_nextFirst;
    const qint64 last = std::min(first + m_rangeBytes - 1, m_size - 1);
    m_nextFirst = last + 1;
    slot.range = Range{first, last - first + 1, bodyFor(last - first + 1), false};
    slot.tries = 0;
    send(slot, false);
}

bool RangeFetcher::takeOver(Slot &slot, bool onlyFarSlower)
{
    // Paced by the rate limit, more connections bring nothing.
    if (m_rate > 0)
        return false;
    const auto now = Clock::now();
    for (const auto &other : m_slots) {
        if (other->receiving())
            m_bestRate = std::max(m_bestRate, other->rate(now));
    }
    if (m_bestRate <= 0)
        return false;
    // A request whose rate is not known yet is taken to go at the best rate seen.
    const auto rateOf = [&](const Slot &other) {
        const double rate = other.rate(now);
        return rate > 0 ? rate : m_bestRate;
    };
    Slot *victim = nullptr;
    double victimSeconds = 0;
    for (const auto &other : m_slots) {
        if (!other->receiving())
            continue;
        if (const double seconds = static_cast<double>(other->left()) / rateOf(*other); seconds > victimSeconds) {
            victimSeconds = seconds;
            victim = other.get();
        }
    }
    if (!victim)
        return false;
    // A connection far slower than the best gives up its range before new ranges are started.
    const double victimRate = rateOf(*victim);
    if (onlyFarSlower && victimRate * 4 > m_bestRate)
        return false;
    // The cut at which the victim, at its rate, ends when the taker, at the best
    // rate seen and after one answer's latency, ends the tail.
    const double takerRate = m_bestRate;
    const auto remaining = static_cast<double>(victim->left());
    const double kept = (m_latency + remaining / takerRate) / (1 / victimRate + 1 / takerRate);
    const qint64 end = victim->range.first + victim->range.expected;
    const qint64 at = victim->range.first + victim->range.body.size();
    const qint64 cut = (at + static_cast<qint64>(kept) + 15) / 16 * 16;
    if (end - cut < smallestTakeOver)
        return false;
    victim->range.expected = cut - victim->range.first;
    victim->cut = true;
    slot.range = Range{cut, end - cut, bodyFor(end - cut), false};
    slot.tries = 0;
    send(slot, false);
    return true;
}

int RangeFetcher::busyConnections() const
{
    const auto now = Clock::now();
    int busy = 0;
    for (const auto &slot : m_slots) {
        if (!slot->busy || slot->finished)
            continue;
        // A request whose range ends within one latency has made way for the next.
        const double rate = slot->rate(now);
        const bool ending =
            slot->receiving() && rate > 0 && m_latency > 0 && static_cast<double>(slot->left()) / rate <= m_latency;
        if (!ending)
            ++busy;
    }
    return busy;
}

void RangeFetcher::send(Slot &slot, bool freshConnection)
{
    // What arrived of the range before a failure is kept; only the rest is asked for.
    const qint64 first = slot.range.first + slot.range.body.size();
    const qint64 last = slot.range.first + slot.range.expected - 1;
    slot.range.body.reserve(slot.range.expected);
    slot.longer = false;
    slot.errorBuffer[0] = '\0';
    slot.busy = true;
    slot.finished = false;
    slot.failure.reset();
    slot.resendAt.reset();
    slot.paused = false;
    slot.cut = false;
    slot.sentAt = Clock::now();
    slot.firstByteAt.reset();
    slot.triedFrom = slot.range.body.size();
    ++slot.tries;
    // A connection that failed is not the one to ask again on.
    curl_easy_setopt(slot.easy, CURLOPT_FRESH_CONNECT, freshConnection ? 1L : 0L);
    curl_easy_setopt(slot.easy, CURLOPT_URL,
                     (m_base + QStringLiteral("/%1-%2").arg(first).arg(last)).toUtf8().constData());
    curl_multi_add_handle(static_cast<CURLM *>(m_multi), slot.easy);
}

void RangeFetcher::fill()
{
    if (m_stopped)
        return;
    for (const auto &slot : m_slots) {
        if (slot->busy)
            continue;
        if (busyConnections() >= m_connections)
            return;
        // Ranges in memory, arrived or on their way, stay within twice the connections.
        const qsizetype held = rangesHeld();
        if (takeOver(*slot, true))
            continue;
        if (m_nextFirst < m_size && held < 2 * m_connections)
            request(*slot);
        else if (!takeOver(*slot, false))
            return;
    }
}

void RangeFetcher::finish(Slot &slot, int code)
{
    long status = 0;
    curl_easy_getinfo(slot.easy, CURLINFO_RESPONSE_CODE, &status);
    // A range cut short ends by refusing what is beyond the cut.
    const bool cutDone = slot.cut && slot.range.body.size() == slot.range.expected && (status == 200 || status == 206);
    // Otherwise only the collecting callback refuses data: the server sent more than the range.
    const bool longer = code == CURLE_WRITE_ERROR && !cutDone;
    std::optional<MegaError> failure;
    bool keepBody = false;
    if (cutDone) {
        // Whole up to the cut: nothing failed.
    } else if (status == 509 || (status != 0 && status != 200 && status != 206)) {
        std::optional<qint64> secondsLeft;
        // When the quota resets, as MEGA tells it with its refusal.
        curl_header *timeLeft = nullptr;
        if (curl_easy_header(slot.easy, "X-MEGA-Time-Left", 0, CURLH_HEADER, -1, &timeLeft) == CURLHE_OK)
            secondsLeft = quotaWaitSeconds(timeLeft->value);
        failure = statusError(status, secondsLeft);
    } else if (longer) {
        failure = megaError("Incomplete MEGA chunk. Resume to retry.", FailureKind::network);
    } else if (code != CURLE_OK) {
        failure = curlTransportError(code, slot.errorBuffer);
        keepBody = true;
    } else if (slot.range.body.size() != slot.range.expected) {
        failure = megaError("Incomplete MEGA chunk. Resume to retry.", FailureKind::network);
        keepBody = true;
    }
    curl_multi_remove_handle(static_cast<CURLM *>(m_multi), slot.easy);
    if (!failure)
        m_bestRate = std::max(m_bestRate, slot.rate(Clock::now()));
    // A try that brought bytes before it failed shows the server is still there.
    if (!slot.range.body.isEmpty())
        m_lastByteAt = Clock::now();
    if (failure && mayPassSoon(*failure) && slot.tries < triesPerRequest && !m_stopped) {
        // The bytes of a good answer cut short are the file's; an error page is not.
        if (!keepBody)
            slot.range.body.clear();
        slot.resendAt = Clock::now() + retryDelay(slot.tries);
        slot.failure = failure;
        return;
    }
    slot.finished = true;
    slot.failure = failure;
    // A range that failed for good ends the run when its turn comes; no more are started.
    if (failure)
        m_stopped = true;
    else
        park(slot);
}

void RangeFetcher::park(Slot &slot)
{
    if (slot.range.first == m_deliver || m_parked.size() >= static_cast<size_t>(m_connections))
        return;
    const qint64 first = slot.range.first;
    m_parked.emplace(first, std::move(slot.range));
    slot.range = Range{};
    slot.busy = false;
    slot.finished = false;
    fill();
}

MegaResult<Done> RangeFetcher::pump()
{
    auto *multi = static_cast<CURLM *>(m_multi);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(waitSlice);
    const auto now = Clock::now();
    for (const auto &slot : m_slots) {
        if (!slot->resendAt)
            continue;
        if (*slot->resendAt <= now)
            send(*slot, true);
        else
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(*slot->resendAt - now) +
                                      std::chrono::milliseconds(1));
    }
    // Connections the rate limit paused go on when it allows; until then the wait is as long as that.
    bool anyPaused = false;
    for (const auto &slot : m_slots)
        anyPaused = anyPaused || slot->paused;
    if (anyPaused)
        wait = std::min(wait, releasePaused());
    int running = 0;
    if (const CURLMcode code = curl_multi_perform(multi, &running); code != CURLM_OK)
        return MegaError{QStringLiteral("Could not reach MEGA: %1").arg(QString::fromUtf8(curl_multi_strerror(code))),
                         FailureKind::network, std::nullopt};
    int left = 0;
    bool ended = false;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Slot *slot = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &slot);
        finish(*slot, message->data.result);
        ended = true;
    }
    // Requests about to end make way for the next, and free connections take over tails.
    fill();
    // Bytes from any connection show the server is still there.
    const qint64 arrived = arrivedAhead() + m_deliver;
    if (arrived != m_lastArrived) {
        m_lastArrived = arrived;
        m_lastByteAt = Clock::now();
    }
    // A range that just ended may be the next to hand over: no waiting then.
    if (!ended)
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    return done;
}

MegaResult<RangeFetcher::Range> RangeFetcher::next()
{
    while (true) {
        if (const auto parked = m_parked.find(m_deliver); parked != m_parked.end()) {
            Range range = std::move(parked->second);
            m_parked.erase(parked);
            m_deliver = range.first + range.expected;
            // Room was made: a waiting connection may set its range aside now.
            for (const auto &slot : m_slots) {
                if (slot->busy && slot->finished && !slot->failure)
                    park(*slot);
            }
            fill();
            return range;
        }
        Slot *next = nullptr;
        for (const auto &slot : m_slots) {
            if (slot->busy && slot->range.first == m_deliver)
                next = slot.get();
        }
        if (interruptRequested()) {
            // What arrived of the next range, in whole blocks, is kept with the rest.
            m_stopped = true;
            Range range{m_deliver, 0, QByteArray(), true};
            if (next) {
                range.body = std::move(next->range.body);
                range.body.truncate(range.body.size() - range.body.size() % 16);
                range.expected = range.body.size();
            }
            return range;
        }
        if (!next)
            return megaError("MEGA transfer ended early. Resume to retry.", FailureKind::network);
        if (next->finished) {
            next->busy = false;
            if (next->failure) {
                m_stopped = true;
                return *next->failure;
            }
            Range range = std::move(next->range);
            m_deliver = range.first + range.expected;
            for (const auto &slot : m_slots) {
                if (slot->busy && slot->finished && !slot->failure)
                    park(*slot);
            }
            fill();
            // Send the new request now, not after the caller has decrypted and
            // written this range: every round trip it waits is lost time.
            int running = 0;
            curl_multi_perform(static_cast<CURLM *>(m_multi), &running);
            return range;
        }
        if (Clock::now() - m_lastByteAt > giveUpTime()) {
            m_stopped = true;
            return next->failure.value_or(MegaError{
                QStringLiteral("Could not reach MEGA: nothing arrived for %1 seconds.").arg(giveUpTime().count()),
                FailureKind::network, std::nullopt});
        }
        if (const auto pumped = pump(); !pumped)
            return pumped.error();
        if (m_whileWaiting)
            m_whileWaiting();
    }
}
