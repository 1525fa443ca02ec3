#pragma once

#include "tool/MegaError.h"

#include <QByteArray>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <vector>

// Fetches the consecutive ranges of one storage URL over several connections
// at once (libcurl's multi interface, in the calling thread, with keep-alive
// and TLS sessions shared) and hands them over strictly in order, so the
// caller writes a prefix of the file and nothing else. At most one range per
// connection is held in memory: a connection waits while its finished range
// is not yet the next in order.
class RangeFetcher {
public:
    struct Range {
        qint64 first = 0;
        qint64 expected = 0;
        long status = 0;
        QByteArray body;
        bool longer = false;        // the server sent more than the range
        long long secondsLeft = -1; // X-MEGA-Time-Left, on a quota answer
    };

    // Ranges of rangeBytes from offset to size, as base + "/FIRST-LAST".
    RangeFetcher(const QString &base, qint64 offset, qint64 size, qint64 rangeBytes, int connections);
    ~RangeFetcher();
    RangeFetcher(const RangeFetcher &) = delete;
    RangeFetcher &operator=(const RangeFetcher &) = delete;

    // The next range in order, once it has arrived; a transport failure of
    // that range is its error. After an error, nothing more is requested.
    MegaResult<Range> next();

    // The number of connections from LARK_MEGA_CONNECTIONS (1 to 8), 4 by default.
    static int connectionsFromEnvironment();

private:
    struct Slot;
    // Asks for the next range on the slot's connection.
    void request(Slot &slot);
    // Asks (again) for the slot's range.
    void send(Slot &slot);
    void fill();
    MegaResult<Done> pump();

    QString m_base;
    qint64 m_size;
    qint64 m_rangeBytes;
    qint64 m_nextFirst; // the next range to ask for
    qint64 m_deliver;   // the next range to hand over
    bool m_stopped = false;
    void *m_multi = nullptr;
    void *m_share = nullptr;
    std::vector<std::unique_ptr<Slot>> m_slots;
};
