#pragma once

#include "tool/MegaError.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// Fetches the consecutive ranges of one storage URL over several connections
// at once (libcurl's multi interface, in the calling thread, with keep-alive
// and TLS sessions shared) and hands them over strictly in order, so the
// caller writes a prefix of the file and nothing else. A finished range that
// is not yet the next in order is set aside while its connection goes on, up
// to one such range per connection; past that a connection waits.
//
// Every connection is kept busy to the end: a connection's next request goes
// out one answer's latency before its range ends, so no round trip is waited
// out; when no new range may be taken, a free connection takes over the tail
// of the unfinished range that would end last, cut so that both end together
// (which also moves a range off a connection far slower than the others).
//
// A range that fails in a way that may pass (a dropped or stalled connection,
// a short body, a 5xx or 429) is asked again on a fresh connection after a
// growing wait, from the byte where it broke off, while the others go on; the
// run fails when one range has failed triesPerRequest times, or when nothing
// at all arrives for the give-up time. A quota answer (509) ends the run at once.
class RangeFetcher {
public:
    struct Range {
        qint64 first = 0;
        qint64 expected = 0;
        QByteArray body;
        // Handed over because of an interrupt: body is what had arrived of
        // the range, cut to whole AES blocks, and nothing follows.
        bool interrupted = false;
    };

    // Ranges of rangeBytes from offset to size, as base + "/FIRST-LAST".
    RangeFetcher(const QString &base, qint64 offset, qint64 size, qint64 rangeBytes, int connections);
    ~RangeFetcher();
    RangeFetcher(const RangeFetcher &) = delete;
    RangeFetcher &operator=(const RangeFetcher &) = delete;

    // The next range in order, once it has arrived whole; the failure of that
    // range is its error. After an error, nothing more is requested.
    MegaResult<Range> next();

    // Takes back a handed-over range's buffer for a later range: its pages
    // are already there, and faulting fresh ones in costs more than decrypting.
    void giveBack(QByteArray &&body);

    // Bytes that have arrived of ranges not yet handed over.
    qint64 arrivedAhead() const;
    // Called between waits for data, a few times a second at least.
    void setWhileWaiting(std::function<void()> callback) { m_whileWaiting = std::move(callback); }

    // The number of connections from LARK_MEGA_CONNECTIONS (1 to 16), 8 by default.
    static int connectionsFromEnvironment();

private:
    struct Slot;
    // Takes bytes that arrived on the slot's connection; pauses it instead when over the rate.
    static size_t collect(char *data, size_t size, size_t count, void *target);
    // Whether bytes may be taken now under the rate limit; they are counted when so.
    bool admit(qint64 bytes);
    // Lets paused connections go on once the limit allows; how long until it does.
    std::chrono::milliseconds releasePaused();
    // Ranges in memory, arrived or on their way.
    qsizetype rangesHeld() const;
    // An empty buffer for a range of that many bytes, a given-back one when there is one.
    QByteArray bodyFor(qint64 bytes);
    // Asks for the next range on the slot's connection.
    void request(Slot &slot);
    // Gives the tail of the unfinished range that would end last to the slot,
    // when that ends it sooner (and, with onlyFarSlower, only from a connection
    // far slower than the best); whether it did.
    bool takeOver(Slot &slot, bool onlyFarSlower);
    // Requests under way that are not about to end: what counts against the connections.
    int busyConnections() const;
    // Asks (again) for the slot's range.
    void send(Slot &slot, bool freshConnection);
    void fill();
    void finish(Slot &slot, int code);
    // Sets the slot's finished range aside, if there is room, and frees its connection.
    void park(Slot &slot);
    MegaResult<Done> pump();

    QString m_base;
    qint64 m_size;
    qint64 m_rangeBytes;
    qint64 m_nextFirst; // the next range to ask for
    qint64 m_deliver;   // the next range to hand over
    bool m_stopped = false;
    qint64 m_lastArrived = -1;
    std::chrono::steady_clock::time_point m_lastByteAt;
    void *m_multi = nullptr;
    int m_connections = 1;
    // How long an answer takes to begin, measured; the lead a next request is sent with.
    double m_latency = 0;
    // The best rate a connection has reached, in bytes a second.
    double m_bestRate = 0;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::map<qint64, Range> m_parked; // finished ranges waiting for their turn, by where they start
    std::function<void()> m_whileWaiting;
    std::vector<QByteArray> m_spare; // given-back buffers of a whole range each
    qsizetype m_mostHeld = 0;        // the most range buffers in memory at once
    // A token bucket shared by all connections (LARK_MEGA_RATE_LIMIT, bytes a
    // second); no limit when the rate is 0.
    double m_rate = 0;
    double m_tokens = 0;
    std::chrono::steady_clock::time_point m_refilled;
};
