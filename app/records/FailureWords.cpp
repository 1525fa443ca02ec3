#include "app/records/FailureWords.h"

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
            table.push_back({std::move(pattern), sentence, std::move(keep)});
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

QString shownDetail(const DownloadItem &item)
{
    if (item.state != DownloadState::failed)
        return item.detail;
    return explain(item.detail).value_or(item.detail);
}

} // namespace FailureWords
