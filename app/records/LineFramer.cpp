#include "app/records/LineFramer.h"

namespace {

qsizetype findTerminator(const QByteArray &bytes, qsizetype from)
{
    const char *begin = bytes.constData();
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
    // Only the new bytes can hold a terminator: the buffer before them had none.
    qsizetype searchFrom = m_buffer.size();
    m_buffer.append(chunk);
    qsizetype lineStart = 0;
    for (qsizetype end = findTerminator(m_buffer, searchFrom); end >= 0; end = findTerminator(m_buffer, end + 1)) {
        lines.append(QString::fromUtf8(QByteArrayView(m_buffer).sliced(lineStart, end - lineStart)));
        lineStart = end + 1;
    }
    m_buffer.remove(0, lineStart);
    if (m_buffer.size() > maxPendingBytes)
        m_buffer.clear();
    return lines;
}

std::optional<QString> LineFramer::finish()
{
    if (m_buffer.isEmpty())
        return std::nullopt;
    QString last = QString::fromUtf8(m_buffer);
    m_buffer.clear();
    return last;
}
