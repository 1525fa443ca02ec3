#include "app/records/RunNotes.h"

#include "model/WorkerProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>

void RunNotes::take(const QString &line)
{
    if (const auto failure = parseFailureLine(line)) {
        m_failure = failure;
        return;
    }
    if (line.startsWith(QLatin1String(WorkerProtocol::streams))) {
        // LARK_STREAMS|"137+140"|1234567: the format as a JSON string, then the size.
        const QStringView rest = QStringView(line).sliced(qstrlen(WorkerProtocol::streams));
        const qsizetype bar = rest.lastIndexOf(QLatin1Char('|'));
        const QJsonDocument format =
            QJsonDocument::fromJson("[" + rest.first(std::max<qsizetype>(bar, 0)).toUtf8() + "]");
        const QString formats = format.array().at(0).toString();
        m_streams = formats.split(QLatin1Char('+'), Qt::SkipEmptyParts).mid(0, 8);
        if (bar >= 0) {
            bool isNumber = false;
            const double total = rest.sliced(bar + 1).toDouble(&isNumber);
            if (isNumber && total > 0 && total < 9.0e15)
                m_streamsTotal = static_cast<qint64>(total);
        }
        return;
    }
    if (line.startsWith(QLatin1String(WorkerProtocol::entries))) {
        bool isNumber = false;
        const int count = QStringView(line).sliced(qstrlen(WorkerProtocol::entries)).toInt(&isNumber);
        if (isNumber && count > 0)
            m_entries = count;
        return;
    }
    if (line.startsWith(QLatin1String(WorkerProtocol::height))) {
        bool isNumber = false;
        const int height = QStringView(line).sliced(qstrlen(WorkerProtocol::height)).toInt(&isNumber);
        m_saidHeight = true;
        m_height = isNumber && height > 0 && height < 100000 ? std::optional<int>(height) : std::nullopt;
        return;
    }
    if (line.startsWith(QLatin1String("  File ")) && line.contains(QLatin1String("yt_dlp/cookies.py\""))) {
        m_inCookies = true;
        return;
    }
    // The last line of a traceback: "ValueError: unsupported platform: linux".
    static const QRegularExpression exception(QStringLiteral("^((?:\\w+\\.)*\\w*(?:Error|Exception)): (.*)$"));
    if (!line.contains(QLatin1String(": ")) || line.startsWith(QLatin1Char(' ')))
        return;
    const QRegularExpressionMatch match = exception.match(line);
    if (!match.hasMatch())
        return;
    m_exception = match.captured(1).left(100);
    m_reason = printableText(match.captured(2).left(300));
}

std::optional<QString> RunNotes::cookieFailure(const QString &browser) const
{
    if (!m_inCookies || m_exception.isEmpty())
        return std::nullopt;
    if (m_exception == QLatin1String("FileNotFoundError"))
        return QStringLiteral("%1's sign-in could not be used because no %1 profile was found on this computer: "
                              "choose the browser you sign in with under \u2026 > Use signed-in browser, then add the "
                              "link again.")
            .arg(browser);
    if (m_reason.startsWith(QLatin1String("unsupported platform")))
        return QStringLiteral("%1's sign-in cannot be read on Linux: choose another browser under \u2026 > Use "
                              "signed-in browser, then add the link again.")
            .arg(browser);
    return QStringLiteral("%1's cookies could not be read (%2): close %1 and retry, or choose another browser under "
                          "\u2026 > Use signed-in browser.")
        .arg(browser, m_reason);
}

WorkerProgress RunNotes::overall(const WorkerProgress &stream)
{
    if (m_streams.size() < 2 || stream.stream.isEmpty() || !m_streams.contains(stream.stream)) {
        // One stream: yt-dlp's estimate of its size moves, the bar does not go back for it.
        WorkerProgress whole = stream;
        m_percent = std::max(m_percent, stream.percent);
        whole.percent = m_percent;
        return whole;
    }
    Counted &counted = m_counted[stream.stream];
    counted.done = stream.bytesDone.value_or(counted.done);
    counted.total = std::max(stream.bytesTotal.value_or(0), counted.done);
    qint64 done = 0;
    qint64 total = 0;
    for (const Counted &each : std::as_const(m_counted)) {
        done += each.done;
        total += each.total;
    }
    WorkerProgress whole = stream;
    whole.stream.clear();
    whole.bytesDone = done;
    double fraction = 0;
    if (m_streamsTotal && *m_streamsTotal >= total) {
        whole.bytesTotal = *m_streamsTotal;
        fraction = static_cast<double>(done) / static_cast<double>(*m_streamsTotal);
    } else {
        // Streams not begun yet count as the share of the ones that have.
        whole.bytesTotal = total > 0 ? std::optional<qint64>(total) : std::nullopt;
        const double seen = static_cast<double>(m_counted.size()) / static_cast<double>(m_streams.size());
        fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) * std::min(seen, 1.0) : 0;
    }
    m_percent = std::max(m_percent, std::clamp(fraction * 100.0, 0.0, 100.0));
    whole.percent = m_percent;
    // The time left of one stream is not the time left of the whole: it is
    // told only when the whole size is known.
    const bool wholeKnown = m_streamsTotal || m_counted.size() >= m_streams.size();
    whole.secondsLeft =
        wholeKnown && whole.bytesPerSecond && *whole.bytesPerSecond > 0 && whole.bytesTotal
            ? std::optional<qint64>(static_cast<qint64>(
                  static_cast<double>(std::max<qint64>(*whole.bytesTotal - done, 0)) / *whole.bytesPerSecond))
            : std::nullopt;
    return whole;
}
