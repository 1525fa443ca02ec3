#include "app/records/WorkerLine.h"

#include "app/records/ParsedProgress.h"
#include "model/WorkerProtocol.h"

#include <QRegularExpression>

namespace {

bool startsWith(const QString &line, const char *marker)
{
    return line.startsWith(QLatin1String(marker));
}

} // namespace

QString withQuotaResetClock(const QString &line, const QDateTime &now)
{
    static const QRegularExpression left(QStringLiteral(" About (\\d+) (minute|minutes|hour|hours) left\\.$"));
    const QRegularExpressionMatch match = left.match(line);
    if (!match.hasMatch())
        return line;
    const qint64 amount = match.captured(1).toLongLong();
    const qint64 seconds = amount * (match.captured(2).startsWith(QLatin1String("hour")) ? 3600 : 60);
    return line.left(match.capturedStart()) +
           QStringLiteral(" Quota resets at %1.").arg(now.addSecs(seconds).toString(QStringLiteral("HH:mm")));
}

bool applyWorkerLine(DownloadItem &item, const QString &line)
{
    if (item.state != DownloadState::downloading)
        return false;

    if (const auto progress = ParsedProgress::parse(line)) {
        item.progress = progress->percent;
        item.speed = progress->speed;
        item.eta = progress->eta;
        item.size = progress->size;
        item.detail = progress->percent < 100 ? QStringLiteral("Downloading") : QStringLiteral("Finalizing file\u2026");
        return true;
    }
    if (startsWith(line, WorkerProtocol::title)) {
        item.title = line.sliced(qstrlen(WorkerProtocol::title));
        return true;
    }
    if (startsWith(line, WorkerProtocol::file)) {
        item.file = line.sliced(qstrlen(WorkerProtocol::file));
        return true;
    }
    if (startsWith(line, WorkerProtocol::error)) {
        item.detail = withQuotaResetClock(line, QDateTime::currentDateTime());
        return true;
    }
    if (startsWith(line, WorkerProtocol::merger) || startsWith(line, WorkerProtocol::extractAudio) ||
        startsWith(line, WorkerProtocol::status)) {
        item.detail = QString(line).remove(QLatin1String(WorkerProtocol::status));
        return true;
    }
    return false;
}
