#include "app/records/RunNotes.h"

#include "model/WorkerProtocol.h"

#include <QRegularExpression>

void RunNotes::take(const QString &line)
{
    if (line.startsWith(QLatin1String(WorkerProtocol::entries))) {
        bool isNumber = false;
        const int count = QStringView(line).sliced(qstrlen(WorkerProtocol::entries)).toInt(&isNumber);
        if (isNumber && count > 0)
            m_entries = count;
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
