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
    // An unterminated line longer than this is dropped whole, up to its
    // terminator: no piece of it ever arrives as a line of its own, where it
    // could pass for a line the worker did not write.
    static constexpr qsizetype maxPendingBytes = 1048576;

    // Appends a chunk and returns the lines it completed, in order.
    QStringList append(QByteArrayView chunk);
    // End of stream: whatever is left, as a last line.
    std::optional<QString> finish();

    qsizetype pendingBytes() const { return m_buffer.size(); }
    // Whether the bytes coming are the rest of a line that is being dropped.
    bool isDiscarding() const { return m_discarding; }

private:
    QByteArray m_buffer;
    bool m_discarding = false;
};
