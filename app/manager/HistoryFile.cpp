#include "app/manager/HistoryFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

const QString readyToResume = QStringLiteral("Ready to resume");

} // namespace

HistoryFile::HistoryFile(const QString &directory, std::function<Snapshot()> snapshot, QObject *parent) :
    QObject(parent),
    m_directory(directory),
    m_path(QDir(directory).filePath(QStringLiteral("queue.json"))),
    m_snapshot(std::move(snapshot))
{
    m_writer.setMaxThreadCount(1);
}

HistoryFile::~HistoryFile()
{
    m_writer.waitForDone();
}

std::optional<QString> HistoryFile::keepAside(QString &copy) const
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    copy = m_path + QStringLiteral(".unreadable-") + stamp;
    // Never over an earlier copy.
    for (int n = 2; QFile::exists(copy); ++n)
        copy = m_path + QStringLiteral(".unreadable-") + stamp + QLatin1Char('-') + QString::number(n);
    QFile original(m_path);
    if (!original.copy(copy))
        return original.errorString();
    QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return std::nullopt;
}

HistoryFile::Loaded HistoryFile::read()
{
    Loaded loaded;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return loaded;
    const QByteArray bytes = file.readAll();
    file.close();
    if (bytes.trimmed().isEmpty())
        return loaded; // nothing in it, nothing to lose
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    qsizetype skipped = 0;
    if (document.isArray()) {
        const QJsonArray array = document.array();
        loaded.items.reserve(static_cast<size_t>(array.size()));
        // The file runs newest first; the list is kept oldest first.
        for (qsizetype i = array.size() - 1; i >= 0; --i) {
            const QJsonValue element = array.at(i);
            auto item = element.isObject() ? DownloadItem::fromJson(element.toObject()) : std::nullopt;
            if (!item) {
                ++skipped;
                continue;
            }
            if (item->state == DownloadState::queued || item->state == DownloadState::downloading) {
                item->state = DownloadState::paused;
                item->detail = readyToResume;
                item->stoppedByQuit = true;
                item->clearRates();
            }
            loaded.items.push_back(std::move(*item));
        }
        if (skipped == 0)
            return loaded;
    }
    QString copy;
    if (const auto error = keepAside(copy)) {
        m_protected = QStringLiteral("the history could not be read and could not be kept aside (%1)").arg(*error);
        loaded.notice = QStringLiteral("The history could not be read whole and could not be copied (%1), so "
                                       "Lark will not save changes to it until it is moved away: %2")
                            .arg(*error, m_path);
        return loaded;
    }
    if (!document.isArray())
        loaded.notice =
            QStringLiteral("The history could not be read, so no items were loaded; the file was kept as %1").arg(copy);
    else
        loaded.notice = QStringLiteral("%1 %2 of the history could not be read and %3 left out; the whole file was "
                                       "kept as %4")
                            .arg(skipped)
                            .arg(skipped == 1 ? QStringLiteral("item") : QStringLiteral("items"),
                                 skipped == 1 ? QStringLiteral("was") : QStringLiteral("were"), copy);
    return loaded;
}

QByteArray HistoryFile::encode(const DownloadItem &item)
{
    return QJsonDocument(item.toJson()).toJson(QJsonDocument::Compact);
}

std::optional<QString> HistoryFile::write(Snapshot snapshot, std::vector<Encoded> &encodedNow) const
{
    if (m_protected)
        return m_protected;
    std::vector<QByteArray> &items = snapshot.encoded;
    for (Snapshot::Item &pending : snapshot.toEncode) {
        items[pending.position] = encode(pending.item);
        encodedNow.push_back({pending.item.id, pending.revision, items[pending.position]});
    }
    // A compact JSON array of the items, newest first.
    qsizetype length = 2;
    for (const QByteArray &item : items)
        length += item.size() + 1;
    QByteArray bytes;
    bytes.reserve(length);
    bytes.append('[');
    for (auto it = items.crbegin(); it != items.crend(); ++it) {
        if (it != items.crbegin())
            bytes.append(',');
        bytes.append(*it);
    }
    bytes.append(']');

    QDir().mkpath(m_directory);
    QSaveFile file(m_path);
    // The permissions go on before anything is written.
    const bool ok = file.open(QIODevice::WriteOnly) &&
                    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                    file.write(bytes) == bytes.size() && file.commit();
    if (!ok)
        return file.errorString();
    return std::nullopt;
}

std::optional<QString> HistoryFile::writeNow()
{
    m_writer.waitForDone();
    m_writeAgain = false;
    std::vector<Encoded> encodedNow;
    const auto error = write(m_snapshot(), encodedNow);
    Q_EMIT encoded(encodedNow);
    return error;
}

void HistoryFile::writeInBackground()
{
    if (m_writing) {
        m_writeAgain = true; // once the write under way is done, with the list as it is then
        return;
    }
    m_writing = true;
    m_writer.start([this, snapshot = m_snapshot()]() mutable {
        std::vector<Encoded> encodedNow;
        const auto error = write(std::move(snapshot), encodedNow);
        QMetaObject::invokeMethod(
            this,
            [this, error, encodedNow = std::move(encodedNow)] {
                Q_EMIT encoded(encodedNow);
                backgroundWriteEnded(error);
            },
            Qt::QueuedConnection);
    });
}

void HistoryFile::backgroundWriteEnded(const std::optional<QString> &error)
{
    m_writing = false;
    if (error)
        Q_EMIT failed(*error);
    else
        Q_EMIT written();
    if (m_writeAgain) {
        m_writeAgain = false;
        writeInBackground();
    }
}
