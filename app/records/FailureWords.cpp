#include "app/records/FailureWords.h"

#include "model/ByteCount.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <vector>

namespace {

struct Entry {
    QRegularExpression pattern;
    QString sentence;
    QRegularExpression keep; // a part of the line the sentence keeps after it, when present
    std::optional<FailureKind> kind;
};
using Table = std::vector<Entry>;

Table load()
{
    Table table;
    QFile file(QStringLiteral(":/failure-words.json"));
    if (!file.open(QIODevice::ReadOnly))
        return table;
    for (const QJsonValue &entry : QJsonDocument::fromJson(file.readAll()).array()) {
        const QJsonObject row = entry.toObject();
        QRegularExpression pattern(row.value(QLatin1String("match")).toString(),
                                   QRegularExpression::CaseInsensitiveOption);
        const QString sentence = row.value(QLatin1String("say")).toString();
        QRegularExpression keep(row.value(QLatin1String("keep")).toString());
        if (pattern.isValid() && !sentence.isEmpty() && keep.isValid())
            table.push_back({std::move(pattern), sentence, std::move(keep),
                             failureKindFromName(row.value(QLatin1String("kind")).toString())});
    }
    return table;
}

const Table &table()
{
    static const Table loaded = load();
    return loaded;
}

} // namespace

namespace FailureWords {

std::optional<QString> explain(const QString &line)
{
    for (const Entry &entry : table()) {
        if (!entry.pattern.match(line).hasMatch())
            continue;
        if (entry.keep.pattern().isEmpty())
            return entry.sentence;
        const QRegularExpressionMatch kept = entry.keep.match(line);
        return kept.hasMatch() ? entry.sentence + QLatin1Char(' ') + kept.captured() : entry.sentence;
    }
    return std::nullopt;
}

std::optional<FailureKind> kind(const QString &line)
{
    for (const Entry &entry : table()) {
        if (entry.pattern.match(line).hasMatch())
            return entry.kind;
    }
    return std::nullopt;
}

QString shownDetail(const DownloadItem &item, const QDateTime &now)
{
    if (item.state != DownloadState::failed)
        return item.detail;
    if (item.retryAt) {
        const QString left = formatDuration(std::max<qint64>(now.secsTo(*item.retryAt), 0));
        if (item.failureKind == FailureKind::quota)
            return QStringLiteral("MEGA's transfer quota is used up: the download goes on by itself in %1.").arg(left);
        return QStringLiteral("Retrying in %1 (attempt %2 of %3)").arg(left).arg(item.retries).arg(automaticRetries);
    }
    return explain(item.detail).value_or(item.detail);
}

} // namespace FailureWords
