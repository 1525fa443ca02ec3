#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>

// Splits a worker's byte stream into lines at CR or LF. Takes bytes rather
// than a device, so recorded output replays through the same code as a live
// process.
class LineFramer {
public:
    // An unterminated line longer than this is dropped; the rest of it arrives
    // as a line of its own.
    static constexpr qsizetype maxPendingBytes = 1048576;

    // Appends a chunk and returns the lines it completed, in order.
    QStringList append(QByteArrayView chunk);
    // End of stream: whatever is left, as a last line.
    std::optional<QString> finish();

    qsizetype pendingBytes() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
};
