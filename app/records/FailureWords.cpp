#include "app/records/FailureWords.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <utility>
#include <vector>

namespace {

using Table = std::vector<std::pair<QRegularExpression, QString>>;

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
        if (pattern.isValid() && !sentence.isEmpty())
            table.emplace_back(std::move(pattern), sentence);
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
    for (const auto &[pattern, sentence] : table()) {
        if (pattern.match(line).hasMatch())
            return sentence;
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
