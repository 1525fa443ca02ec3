#include "app/records/LineFramer.h"

namespace {

qsizetype findTerminator(QByteArrayView bytes, qsizetype from = 0)
{
    const char *begin = bytes.data();
    for (qsizetype i = from; i < bytes.size(); ++i) {
        if (begin[i] == '\n' || begin[i] == '\r')
            return i;
    }
    return -1;
}

} // namespace

QStringList LineFramer::append(QByteArrayView chunk)
{
    QStringList lines;
    if (m_discarding) {
        // The rest of a line that grew too long goes with it, up to its end.
        const qsizetype end = findTerminator(chunk);
        if (end < 0)
            return lines;
        m_discarding = false;
        chunk = chunk.sliced(end + 1);
    }
    // Only the new bytes can hold a terminator: the buffer before them had none.
    qsizetype searchFrom = m_buffer.size();
    m_buffer.append(chunk);
    qsizetype lineStart = 0;
    for (qsizetype end = findTerminator(m_buffer, searchFrom); end >= 0; end = findTerminator(m_buffer, end + 1)) {
        lines.append(QString::fromUtf8(QByteArrayView(m_buffer).sliced(lineStart, end - lineStart)));
        lineStart = end + 1;
    }
    m_buffer.remove(0, lineStart);
    if (m_buffer.size() > maxPendingBytes) {
        m_buffer.clear();
        m_buffer.squeeze();
        m_discarding = true;
    }
    return lines;
}

std::optional<QString> LineFramer::finish()
{
    m_discarding = false;
    if (m_buffer.isEmpty())
        return std::nullopt;
    QString last = QString::fromUtf8(m_buffer);
    m_buffer.clear();
    return last;
}
