#include "app/manager/DownloadManager.h"

#include "app/manager/ChildProcess.h"
#include "app/manager/CompletionNotifier.h"
#include "app/manager/DownloadListModel.h"
#include "app/manager/FileManager.h"
#include "app/manager/HelperRun.h"
#include "app/manager/HistoryFile.h"
#include "app/manager/SleepInhibitor.h"
#include "app/manager/Worker.h"
#include "app/manager/WorkerTools.h"
#include "app/manager/WorkingFiles.h"
#include "app/manager/YtDlpCheck.h"
#include "app/manager/YtDlpCommand.h"
#include "app/manager/YtDlpUpdate.h"
#include "app/records/FailureWords.h"
#include "app/records/LinkIntake.h"
#include "app/records/WorkerLine.h"
#include "model/MegaFolderLink.h"
#include "model/WorkerProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>

#include <filesystem>

namespace {

const QString folderKey = QStringLiteral("folder");
const QString concurrencyKey = QStringLiteral("concurrency");
const QString notificationsKey = QStringLiteral("notificationsEnabled");
const QString retriesKey = QStringLiteral("retryAutomatically");
const QString qualityKey = QStringLiteral("quality");
const QString continueKey = QStringLiteral("continueOnStart");
const QString browserKey = QStringLiteral("browser");
const QString speedLimitKey = QStringLiteral("speedLimit");
const QString subtitlesKey = QStringLiteral("subtitles");
const QString subtitleLanguagesKey = QStringLiteral("subtitleLanguages");
const QString automaticSubtitlesKey = QStringLiteral("automaticSubtitles");
const QString cookiesFileKey = QStringLiteral("cookiesFile");
const QString ytDlpUpdatedKey = QStringLiteral("ytDlpUpdatedAt");
// Lark's own yt-dlp is brought up to date by itself this often.
constexpr qint64 ytDlpUpdateDays = 7;
// No download is held below this, whatever share of the limit it gets.
constexpr qint64 slowestShare = 16 * 1024;
// How long a run between files of folders waits for the next before it ends.
constexpr int spareWorkerMs = 3000;
// A listing or a format list larger than this is no answer anyone waits for.
constexpr qsizetype maxListingBytes = 64 * 1048576;
constexpr int listingTimeoutMs = 10 * 60 * 1000;
const QString waitingDetail = QStringLiteral("Waiting for a download slot");
const QString pausedDetail = QStringLiteral("Paused \u2022 partial file kept for resume");

// The waits before each automatic retry of a failure that may pass.
constexpr std::array<qint64, automaticRetries> retryWaitSeconds{30, 120, 600};
// When MEGA does not say when its quota resets, it is asked again after this long.
constexpr qint64 unknownQuotaWaitSeconds = 3600;
// A little past the reset, so the quota is surely back.
constexpr qint64 quotaMarginSeconds = 10;

// An item that blocks a second download of the same thing.
bool isUnfinished(const DownloadItem &item)
{
    return item.state == DownloadState::queued || item.state == DownloadState::downloading ||
           item.state == DownloadState::paused;
}

QString plural(qsizetype count, const QString &noun)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(noun, count == 1 ? QString() : QStringLiteral("s"));
}

QString defaultDownloadFolder()
{
    QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (downloads.isEmpty())
        downloads = QDir::homePath() + QStringLiteral("/Downloads");
    return QDir(downloads).absoluteFilePath(QStringLiteral("Lark"));
}

// INI settings read back as text: a boolean is a bool, or exactly "true" or "false".
std::optional<bool> storedBoolean(const QVariant &value)
{
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        if (value.toString() == QLatin1String("true"))
            return true;
        if (value.toString() == QLatin1String("false"))
            return false;
    }
    return std::nullopt;
}

} // namespace

QString DownloadManager::defaultStorageDirectory()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Lark Downloader"));
}

DownloadManager::DownloadManager(QObject *parent) : DownloadManager(Options{}, parent)
{}

DownloadManager::DownloadManager(Options options, QObject *parent) :
    QObject(parent),
    m_model(std::make_unique<DownloadListModel>(*this)),
    m_saveDelayMs(options.saveDelayMs),
    m_stopGraceMs(options.stopGraceMs),
    m_tools(options.toolDirectory, std::move(options.searchDirectories))
{
    if (options.settings) {
        m_settings = options.settings;
    } else {
        m_ownedSettings = std::make_unique<QSettings>(QStringLiteral("Lark"), QStringLiteral("Lark Downloader"));
        m_settings = m_ownedSettings.get();
    }
    m_notificationsEnabled = storedBoolean(m_settings->value(notificationsKey)).value_or(true);
    m_retriesAutomatically = storedBoolean(m_settings->value(retriesKey)).value_or(true);
    m_continuesOnStart = storedBoolean(m_settings->value(continueKey)).value_or(false);
    // The last choices, when they are still choices.
    if (const QString quality = m_settings->value(qualityKey).toString(); qualityChoices.contains(quality))
        m_quality = quality;
    if (const QString browser = m_settings->value(browserKey).toString(); browserChoices.contains(browser))
        m_browser = browser;
    m_speedLimit = std::max<qint64>(0, m_settings->value(speedLimitKey).toLongLong());
    if (options.clock)
        m_clock = options.clock;
    // Once a second while something waits: the rows count down, and what is due starts.
    m_retryTimer.setInterval(1000);
    connect(&m_retryTimer, &QTimer::timeout, this, &DownloadManager::retryDue);
    // The machine stays awake while something downloads.
    m_sleepInhibitor = new SleepInhibitor(this);
    connect(this, &DownloadManager::countsChanged, this, [this] { m_sleepInhibitor->setWanted(active() > 0); });

    m_support = options.storageDirectory;
    if (m_support.isEmpty())
        m_support = defaultStorageDirectory();
    m_tools.setOwnDirectory(ownYtDlpDirectory() + QStringLiteral("/bin"));

    const QString storedFolder = m_settings->value(folderKey).toString();
    m_folder = storedFolder.isEmpty() ? defaultDownloadFolder() : storedFolder;

    bool isNumber = false;
    const int storedConcurrency = m_settings->value(concurrencyKey).toInt(&isNumber);
    m_concurrency = !isNumber || storedConcurrency == 0 ? 3 : storedConcurrency;
    if (m_concurrency < 2)
        m_concurrency = 1;

    // The history is private: its folder is too, so no temporary file is ever readable by others.
    if (QDir().mkpath(m_support))
        QFile::setPermissions(m_support, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Copies of the cookies file a run that Lark outlived did not remove.
    for (const QString &copy : QDir(m_support).entryList({QStringLiteral("cookies-*.txt")}, QDir::Files))
        QFile::remove(QDir(m_support).filePath(copy));

    m_maxSaveDelayMs = options.maxSaveDelayMs;
    m_saveTimer.setSingleShot(true);
    connect(&m_saveTimer, &QTimer::timeout, this, [this] {
        const qint64 left = m_saveDeadline.remainingTime();
        if (left > 0) {
            m_saveTimer.start(static_cast<int>(left));
        } else {
            m_progressSaveTimer.stop(); // the progress goes with this write
            m_history->writeInBackground();
        }
    });
    m_spareTimer.setSingleShot(true);
    m_spareTimer.setInterval(spareWorkerMs);
    connect(&m_spareTimer, &QTimer::timeout, this, &DownloadManager::releaseSpareWorkers);
    m_progressSaveTimer.setSingleShot(true);
    m_progressSaveTimer.setInterval(options.progressSaveDelayMs);
    connect(&m_progressSaveTimer, &QTimer::timeout, this, [this] { m_history->writeInBackground(); });
    m_history = std::make_unique<HistoryFile>(m_support, [this] {
        HistoryFile::Snapshot snapshot;
        snapshot.encoded.reserve(m_items.size());
        for (size_t i = 0; i < m_items.size(); ++i) {
            snapshot.encoded.push_back(m_encoded[i].text);
            if (m_encoded[i].text.isEmpty())
                snapshot.toEncode.push_back({i, m_encoded[i].revision, m_items[i]});
        }
        return snapshot;
    });
    connect(m_history.get(), &HistoryFile::encoded, this, [this](const std::vector<HistoryFile::Encoded> &items) {
        for (const HistoryFile::Encoded &encoded : items) {
            const qsizetype index = indexOf(encoded.id);
            // Kept unless the item changed while it was written.
            if (index >= 0 && m_encoded[static_cast<size_t>(index)].revision == encoded.revision)
                m_encoded[static_cast<size_t>(index)].text = encoded.text;
        }
    });
    connect(m_history.get(), &HistoryFile::written, this, &DownloadManager::historyWritten);
    connect(m_history.get(), &HistoryFile::failed, this, [this](const QString &error) {
        setNotice(QStringLiteral("Could not save history: ") + error, NoticeTone::failure);
    });
    loadHistory();
    if (m_continuesOnStart) {
        // Once the caller has set the manager up (the window, the notifier), not in the middle of it.
        QMetaObject::invokeMethod(
            this,
            [this] {
                // In the order they were added, so the queue goes on as it stood.
                QList<QUuid> stopped;
                for (const DownloadItem &item : m_items) {
                    if (item.state == DownloadState::paused && item.stoppedByQuit)
                        stopped.append(item.id);
                }
                for (const QUuid &id : std::as_const(stopped)) {
                    change(id, [](DownloadItem &queued) {
                        queued.state = DownloadState::queued;
                        queued.detail = waitingDetail;
                    });
                }
                pump();
            },
            Qt::QueuedConnection);
    }
}

DownloadManager::~DownloadManager()
{
    m_history.reset();
    for (Worker *worker : std::as_const(m_workers))
        worker->abandon();
    qDeleteAll(m_workers);
    // Between files: with standard input closed they end by themselves.
    for (Worker *worker : std::as_const(m_spareWorkers))
        worker->abandon();
    qDeleteAll(m_spareWorkers);
}

QString DownloadManager::storagePath() const
{
    return m_history->path();
}

void DownloadManager::loadHistory()
{
    HistoryFile::Loaded loaded = m_history->read();
    m_items = std::move(loaded.items);
    m_encoded.resize(m_items.size());
    for (size_t i = 0; i < m_items.size(); ++i)
        markChanged(i);
    for (DownloadItem &item : m_items) {
        counted(item.state, 1);
        // A wait to try again goes on after a restart, unless retries were turned off.
        if (item.state == DownloadState::failed && item.retryAt) {
            if (m_retriesAutomatically)
                m_waiting.insert(item.id);
            else
                item.retryAt.reset();
        } else {
            item.retryAt.reset();
        }
    }
    rebuildIndex();
    watchRetries();
    if (!loaded.notice.isEmpty())
        setNotice(loaded.notice, NoticeTone::failure);
}

QList<DownloadItem> DownloadManager::items() const
{
    QList<DownloadItem> list;
    list.reserve(count());
    for (auto it = m_items.crbegin(); it != m_items.crend(); ++it)
        list.append(*it);
    return list;
}

QList<QUuid> DownloadManager::idsWhere(const std::function<bool(const DownloadItem &)> &chosen) const
{
    // Ids, not items: a copy of a hundred thousand items held the window for a tenth of a second.
    QList<QUuid> ids;
    for (auto it = m_items.crbegin(); it != m_items.crend(); ++it) {
        if (chosen(*it))
            ids.append(it->id);
    }
    return ids;
}

const DownloadItem &DownloadManager::itemAt(int row) const
{
    return m_items[m_items.size() - 1 - static_cast<size_t>(row)];
}

const DownloadItem *DownloadManager::item(const QUuid &id) const
{
    const qsizetype index = indexOf(id);
    return index < 0 ? nullptr : &m_items[static_cast<size_t>(index)];
}

qsizetype DownloadManager::indexOf(const QUuid &id) const
{
    return m_index.value(id, -1);
}

void DownloadManager::rebuildIndex()
{
    // "The first item with this id" is the newest one, so walk from the newest.
    m_index.clear();
    m_index.reserve(static_cast<qsizetype>(m_items.size()));
    for (qsizetype i = static_cast<qsizetype>(m_items.size()) - 1; i >= 0; --i) {
        if (!m_index.contains(m_items[static_cast<size_t>(i)].id))
            m_index.insert(m_items[static_cast<size_t>(i)].id, i);
    }
}

void DownloadManager::insertItem(DownloadItem item)
{
    m_model->beginInsertAtTop();
    m_index.insert(item.id, static_cast<qsizetype>(m_items.size()));
    m_neverStarted.insert(item.id);
    counted(item.state, 1);
    m_items.push_back(std::move(item));
    m_encoded.push_back(EncodedItem{QByteArray(), ++m_revisions});
    m_model->endInsertAtTop();
    Q_EMIT countsChanged();
}

void DownloadManager::insertBatch(std::vector<DownloadItem> batch)
{
    // The newest item is at the top of the list: the last inserted. A batch
    // goes in backwards so that it reads top down in the order it was given.
    for (auto item = batch.rbegin(); item != batch.rend(); ++item)
        insertItem(std::move(*item));
}

void DownloadManager::removeItemsWhere(const std::function<bool(const DownloadItem &)> &predicate)
{
    std::vector<bool> doomed(m_items.size());
    qsizetype first = -1;
    qsizetype last = -1;
    bool contiguous = true;
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (!predicate(m_items[i]))
            continue;
        doomed[i] = true;
        counted(m_items[i].state, -1);
        const auto index = static_cast<qsizetype>(i);
        contiguous = contiguous && (first < 0 || index == last + 1);
        if (first < 0)
            first = index;
        last = index;
    }
    if (first < 0)
        return;
    // One run (a single item, most often) leaves the rest of the view in place;
    // scattered items go in one pass and one reset, not one shift per item.
    if (contiguous) {
        m_model->beginRemove(rowOf(last), rowOf(first));
        m_items.erase(m_items.begin() + first, m_items.begin() + last + 1);
        m_encoded.erase(m_encoded.begin() + first, m_encoded.begin() + last + 1);
        m_model->endRemove();
    } else {
        m_model->beginRebuild();
        size_t kept = 0;
        for (size_t i = 0; i < m_items.size(); ++i) {
            if (doomed[i])
                continue;
            if (kept != i) {
                m_items[kept] = std::move(m_items[i]);
                m_encoded[kept] = std::move(m_encoded[i]);
            }
            ++kept;
        }
        m_items.erase(m_items.begin() + static_cast<qsizetype>(kept), m_items.end());
        m_encoded.erase(m_encoded.begin() + static_cast<qsizetype>(kept), m_encoded.end());
        m_model->endRebuild();
    }
    rebuildIndex();
    Q_EMIT countsChanged();
}

int DownloadManager::active() const
{
    return count(DownloadState::downloading);
}

int DownloadManager::finished() const
{
    return count(DownloadState::completed);
}

int DownloadManager::waiting() const
{
    return count(DownloadState::queued);
}

void DownloadManager::setFolder(const QString &folder)
{
    m_folder = folder;
    m_settings->setValue(folderKey, folder);
    Q_EMIT folderChanged();
}

void DownloadManager::setConcurrency(int concurrency)
{
    m_concurrency = concurrency;
    m_settings->setValue(concurrencyKey, concurrency);
    Q_EMIT concurrencyChanged();
    pump();
}

void DownloadManager::setQuality(const QString &quality)
{
    m_quality = quality;
    m_settings->setValue(qualityKey, quality);
    Q_EMIT qualityChanged();
}

void DownloadManager::setBrowser(const QString &browser)
{
    m_browser = browser;
    m_settings->setValue(browserKey, browser);
    // A signed-in browser and a cookies file are one choice or the other.
    if (browser != QLatin1String("None") && !cookiesFile().isEmpty()) {
        m_settings->remove(cookiesFileKey);
        Q_EMIT cookiesFileChanged();
    }
    Q_EMIT browserChanged();
}

void DownloadManager::setNotificationsEnabled(bool enabled)
{
    m_notificationsEnabled = enabled;
    m_settings->setValue(notificationsKey, enabled);
    Q_EMIT notificationsEnabledChanged();
    configureNotifications();
}

void DownloadManager::setRetriesAutomatically(bool enabled)
{
    m_retriesAutomatically = enabled;
    m_settings->setValue(retriesKey, enabled);
    if (!enabled) {
        // What waits stays failed, for the user to retry.
        const QSet<QUuid> waiting = std::exchange(m_waiting, {});
        for (const QUuid &id : waiting)
            change(id, [](DownloadItem &item) { item.retryAt.reset(); });
    }
    watchRetries();
    Q_EMIT retriesAutomaticallyChanged();
}

void DownloadManager::setContinuesOnStart(bool enabled)
{
    m_continuesOnStart = enabled;
    m_settings->setValue(continueKey, enabled);
    Q_EMIT continuesOnStartChanged();
}

bool DownloadManager::watchesClipboard() const
{
    return m_settings->value(QStringLiteral("watchClipboard")).toBool();
}

bool DownloadManager::keepsMegaFolders() const
{
    return m_settings->value(QStringLiteral("megaFolders"), true).toBool();
}

void DownloadManager::setKeepsMegaFolders(bool enabled)
{
    if (enabled == keepsMegaFolders())
        return;
    m_settings->setValue(QStringLiteral("megaFolders"), enabled);
    Q_EMIT keepsMegaFoldersChanged();
}

void DownloadManager::setWatchesClipboard(bool enabled)
{
    if (enabled == watchesClipboard())
        return;
    m_settings->setValue(QStringLiteral("watchClipboard"), enabled);
    Q_EMIT watchesClipboardChanged();
}

void DownloadManager::setSpeedLimit(qint64 bytesPerSecond)
{
    m_speedLimit = std::max<qint64>(0, bytesPerSecond);
    m_settings->setValue(speedLimitKey, m_speedLimit);
    Q_EMIT speedLimitChanged();
}

bool DownloadManager::subtitlesWanted() const
{
    return storedBoolean(m_settings->value(subtitlesKey)).value_or(false);
}

void DownloadManager::setSubtitlesWanted(bool wanted)
{
    m_settings->setValue(subtitlesKey, wanted);
    Q_EMIT subtitlesChanged();
}

QStringList DownloadManager::subtitleLanguages() const
{
    if (m_settings->contains(subtitleLanguagesKey))
        return subtitleLanguageList(m_settings->value(subtitleLanguagesKey).toString());
    // The language of the desktop, then English.
    QStringList languages{QLocale::system().name().section(QLatin1Char('_'), 0, 0)};
    languages.append(QStringLiteral("en"));
    return subtitleLanguageList(languages.join(QLatin1Char(',')));
}

void DownloadManager::setSubtitleLanguages(const QString &text)
{
    const QStringList languages = subtitleLanguageList(text);
    if (languages.isEmpty()) {
        setNotice(QStringLiteral("Write subtitle languages as codes such as en, de or pt-BR."), NoticeTone::warning);
        return;
    }
    m_settings->setValue(subtitleLanguagesKey, languages.join(QLatin1Char(',')));
    Q_EMIT subtitlesChanged();
}

bool DownloadManager::automaticSubtitles() const
{
    return storedBoolean(m_settings->value(automaticSubtitlesKey)).value_or(false);
}

void DownloadManager::setAutomaticSubtitles(bool wanted)
{
    m_settings->setValue(automaticSubtitlesKey, wanted);
    Q_EMIT subtitlesChanged();
}

QString DownloadManager::cookiesFile() const
{
    return m_settings->value(cookiesFileKey).toString();
}

bool DownloadManager::setCookiesFile(const QString &path)
{
    if (!path.isEmpty()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            setNotice(QStringLiteral("The cookies file %1 cannot be read: %2.").arg(path, file.errorString()),
                      NoticeTone::failure);
            return false;
        }
        // The format yt-dlp reads begins with its own header line, or with cookie lines of seven fields.
        const QByteArray start = file.read(4096);
        const bool netscape = start.startsWith("# Netscape HTTP Cookie File") ||
                              start.startsWith("# HTTP Cookie File") || start.split('\n').value(0).count('\t') == 6;
        if (!netscape) {
            setNotice(QStringLiteral("%1 is not a cookies.txt file in the Netscape format; export one with a "
                                     "browser extension for cookies.txt.")
                          .arg(QFileInfo(path).fileName()),
                      NoticeTone::failure);
            return false;
        }
        setBrowser(QStringLiteral("None"));
    }
    m_settings->setValue(cookiesFileKey, path);
    Q_EMIT cookiesFileChanged();
    return true;
}

void DownloadManager::watchRetries()
{
    if (m_waiting.isEmpty())
        m_retryTimer.stop();
    else if (!m_retryTimer.isActive())
        m_retryTimer.start();
}

void DownloadManager::scheduleRetry(DownloadItem &item, const std::optional<WorkerFailure> &failure)
{
    item.failureKind = failure ? std::optional<FailureKind>(failure->kind) : std::nullopt;
    item.retryAt.reset();
    if (!failure || !mayPass(failure->kind) || !m_retriesAutomatically || m_isClosing)
        return;
    const QDateTime now = m_clock->now();
    if (failure->kind == FailureKind::quota) {
        // Waiting out a quota is no failed attempt: it says nothing about the link.
        item.retryAt =
            now.addSecs(failure->waitSeconds ? *failure->waitSeconds + quotaMarginSeconds : unknownQuotaWaitSeconds);
    } else if (item.retries < automaticRetries) {
        item.retryAt = now.addSecs(retryWaitSeconds[static_cast<size_t>(item.retries)]);
        ++item.retries;
    }
    if (item.retryAt)
        m_waiting.insert(item.id);
}

void DownloadManager::retryDue()
{
    const QDateTime now = m_clock->now();
    bool started = false;
    const QSet<QUuid> waiting = m_waiting;
    for (const QUuid &id : waiting) {
        const DownloadItem *waiter = item(id);
        if (!waiter || waiter->state != DownloadState::failed || !waiter->retryAt) {
            m_waiting.remove(id);
            continue;
        }
        if (*waiter->retryAt > now) {
            // The countdown in the row moves on.
            m_model->rowChanged(rowOf(indexOf(id)));
            continue;
        }
        m_waiting.remove(id);
        change(id, [](DownloadItem &due) {
            due.state = DownloadState::queued;
            due.retryAt.reset();
            due.detail = waitingDetail;
        });
        started = true;
    }
    watchRetries();
    if (started)
        pump();
}

void DownloadManager::checkYtDlp()
{
    if (m_ytDlpChecked)
        return;
    m_ytDlpChecked = true;
    auto *check = new YtDlpCheck(m_tools, this);
    connect(check, &YtDlpCheck::finished, this, [this, check](const QString &advice) {
        check->deleteLater();
        m_ytDlpRelease = check->release();
        const bool own = check->install() == YtDlpInstall::own;
        // Lark's own yt-dlp is kept current without asking.
        const QDateTime updated = m_settings->value(ytDlpUpdatedKey).toDateTime();
        if (own && (!updated.isValid() || updated.daysTo(m_clock->now()) >= ytDlpUpdateDays)) {
            updateYtDlp(true);
            return;
        }
        // Said once for each release of yt-dlp, not at every start.
        const QString release = m_ytDlpRelease ? m_ytDlpRelease->toString(Qt::ISODate) : QString();
        const QString adviceKey = QStringLiteral("ytDlpAdviceGivenFor");
        if (advice.isEmpty() || (!release.isEmpty() && m_settings->value(adviceKey).toString() == release))
            return;
        m_settings->setValue(adviceKey, release);
        const YtDlpInstall install = check->install();
        ytDlpAdvised(advice, advice.contains(QLatin1String("Update now")) &&
                                 (install == YtDlpInstall::own || install == YtDlpInstall::debianPackage ||
                                  install == YtDlpInstall::other));
    });
    check->start();
}

void DownloadManager::ytDlpAdvised(const QString &advice, bool offerUpdate)
{
    // After whatever the notice says already (a history that could not be read comes first).
    setNotice(m_notice.isEmpty() ? advice : m_notice + QStringLiteral(" \u2022 ") + advice,
              m_notice.isEmpty() ? NoticeTone::warning : std::max(m_noticeTone, NoticeTone::warning));
    m_offersYtDlpUpdate = offerUpdate;
    Q_EMIT ytDlpUpdateChanged();
}

QString DownloadManager::ownYtDlpDirectory() const
{
    return QDir(m_support).filePath(QStringLiteral("yt-dlp"));
}

void DownloadManager::updateYtDlp(bool quietly)
{
    if (m_ytDlpUpdate)
        return;
    const auto python = executable(QStringLiteral("python3"));
    if (!python) {
        setNotice(QStringLiteral("yt-dlp could not be installed: Python 3 was not found."), NoticeTone::failure);
        return;
    }
    const bool installed = QFileInfo(YtDlpUpdate::program(ownYtDlpDirectory())).isExecutable();
    auto *update = new YtDlpUpdate(*python, ownYtDlpDirectory(), m_tools.environment(), this);
    m_ytDlpUpdate = update;
    m_offersYtDlpUpdate = false;
    if (!quietly) {
        connect(update, &YtDlpUpdate::progressed, this,
                [this](const QString &step) { setNotice(step, NoticeTone::information); });
    }
    connect(update, &YtDlpUpdate::finished, this, [this, update, quietly, installed](bool ok, const QString &text) {
        update->deleteLater();
        m_ytDlpUpdate = nullptr;
        if (ok) {
            m_settings->setValue(ytDlpUpdatedKey, m_clock->now());
            m_ytDlpRelease = ytDlpReleaseDate(text);
            m_settings->setValue(QStringLiteral("ytDlpAdviceGivenFor"),
                                 m_ytDlpRelease ? m_ytDlpRelease->toString(Qt::ISODate) : QString());
            if (!quietly)
                setNotice(QStringLiteral("yt-dlp %1 is ready; Lark keeps it up to date.").arg(text),
                          NoticeTone::information);
        } else if (!quietly || !installed) {
            setNotice(QStringLiteral("yt-dlp could not be updated: %1. %2")
                          .arg(text, installed || executable(QStringLiteral("yt-dlp"))
                                         ? QStringLiteral("The yt-dlp in use stays.")
                                         : QStringLiteral("Video links cannot be downloaded until it is.")),
                      NoticeTone::failure);
            m_offersYtDlpUpdate = true;
        }
        Q_EMIT ytDlpUpdateChanged();
    });
    Q_EMIT ytDlpUpdateChanged();
    update->start();
}

void DownloadManager::setNotice(const QString &notice, NoticeTone tone)
{
    // The offer to update belongs to the notice that made it.
    m_offersYtDlpUpdate = false;
    m_notice = notice;
    m_noticeTone = tone;
    Q_EMIT noticeChanged();
}

void DownloadManager::change(const QUuid &id, const std::function<void(DownloadItem &)> &mutation)
{
    const qsizetype index = indexOf(id);
    if (index < 0)
        return;
    DownloadItem &item = m_items[static_cast<size_t>(index)];
    const DownloadState before = item.state;
    mutation(item);
    markChanged(static_cast<size_t>(index));
    m_model->rowChanged(rowOf(index));
    if (item.state != before) {
        counted(before, -1);
        counted(item.state, 1);
        Q_EMIT countsChanged();
    }
    save();
}

QStringList DownloadManager::alreadyCompleted(const QString &text) const
{
    QSet<QString> completed;
    for (const DownloadItem &item : m_items) {
        if (item.state == DownloadState::completed)
            completed.insert(item.url);
    }
    QStringList found;
    for (const QString &url : acceptedURLs(text).urls) {
        if (completed.contains(url) && !found.contains(url))
            found.append(url);
    }
    return found;
}

QStringList DownloadManager::notInQueue(const QString &text) const
{
    QSet<QString> known(m_pendingFolderLinks.begin(), m_pendingFolderLinks.end());
    if (m_folderRequest)
        known.insert(m_folderRequest->url);
    for (const DownloadItem &item : m_items)
        known.insert(item.url);
    QStringList fresh;
    for (const QString &url : acceptedURLs(text).urls) {
        if (!known.contains(url) && !fresh.contains(url))
            fresh.append(url);
    }
    return fresh;
}

bool DownloadManager::add(const QString &text, bool skipCompleted)
{
    const AcceptedURLs accepted = acceptedURLs(text);
    if (accepted.urls.isEmpty()) {
        setNotice(QStringLiteral("Paste a complete http:// or https:// video link."), NoticeTone::warning);
        return false;
    }
    int folders = 0;
    int added = 0;
    QSet<QString> unfinished; // a long pasted list is checked against the queue once, not per link
    std::vector<DownloadItem> batch;
    for (const DownloadItem &item : m_items) {
        if (isUnfinished(item) || (skipCompleted && item.state == DownloadState::completed))
            unfinished.insert(item.url);
    }
    for (const QString &url : accepted.urls) {
        if (MegaFolderLink::recognizes(url)) {
            if ((m_folderRequest && m_folderRequest->url == url) || m_pendingFolderLinks.contains(url))
                continue;
            m_pendingFolderLinks.append(url);
            ++folders;
            continue;
        }
        if (unfinished.contains(url))
            continue;
        const QString host = QUrl(url).host();
        batch.emplace_back(url, host.isEmpty() ? QStringLiteral("New download") : host, m_folder, m_quality, m_browser);
        ++added;
    }
    insertBatch(std::move(batch));
    QString notice = QStringLiteral("Added ") + plural(added, QStringLiteral("download"));
    if (accepted.invalid > 0)
        notice += QStringLiteral(" \u2022 %1 invalid link(s) skipped").arg(accepted.invalid);
    if (folders > 0) {
        const QString folderText =
            QStringLiteral("Choose files from ") + plural(folders, QStringLiteral("MEGA folder"));
        m_noticeBeforeFolders = added > 0 ? notice : QString();
        notice = added > 0 ? notice + QStringLiteral(" \u2022 ") + folderText : folderText;
        m_folderNotice = notice;
    }
    setNotice(notice, accepted.invalid > 0 ? NoticeTone::warning : NoticeTone::information);
    save();
    pump();
    presentNextFolder();
    return true;
}

void DownloadManager::pump()
{
    if (m_isClosing)
        return;
    // The list runs from the top down, so what runs is in view: the newest
    // queued item first, which for a pasted list is its first link.
    while (m_workers.size() < m_concurrency) {
        const auto next = std::find_if(m_items.rbegin(), m_items.rend(), [this](const DownloadItem &item) {
            return item.state == DownloadState::queued && !m_workers.contains(item.id);
        });
        if (next == m_items.rend())
            return;
        start(*next);
    }
}

std::optional<QString> DownloadManager::executable(const QString &name) const
{
    return m_tools.executable(name);
}

void DownloadManager::fail(const QUuid &id, const QString &message)
{
    change(id, [&message](DownloadItem &item) {
        item.state = DownloadState::failed;
        item.detail = message;
    });
}

void DownloadManager::start(const DownloadItem &queued)
{
    const DownloadItem item = queued; // start may change the list under the reference
    const bool neverStarted = m_neverStarted.remove(item.id);
    std::error_code error;
    std::filesystem::create_directories(QFile::encodeName(item.folder).toStdString(), error);
    if (error) {
        fail(item.id, QStringLiteral("Cannot write to folder: ") + QString::fromLocal8Bit(error.message()));
        return;
    }

    QString program;
    QStringList arguments;
    std::optional<QByteArray> input;
    std::optional<QByteArray> job; // for a serving worker
    QProcessEnvironment environment = m_tools.environment();
    const std::optional<qint64> rate = rateShare();
    if (item.platform() == QLatin1String("MEGA")) {
        if (rate)
            environment.insert(QStringLiteral("LARK_MEGA_RATE_LIMIT"), QString::number(*rate));
        program = m_tools.toolDirectory() + QStringLiteral("/lark-mega");
        if (item.megaNode) {
            if (const auto invalid = item.megaNode->validate()) {
                fail(item.id, invalid->message);
                return;
            }
            // Without a speed limit, which each run is given for itself, files
            // of folders go one after another through runs that stay.
            if (!rate) {
                job = QJsonDocument(QJsonObject{{QStringLiteral("folder"), item.folder},
                                                {QStringLiteral("job"), item.jobID()},
                                                {QStringLiteral("node"), item.megaNode->toJson()}})
                          .toJson(QJsonDocument::Compact);
                arguments = {QStringLiteral("--folder-files")};
            } else {
                input = item.megaNode->toJsonText();
                arguments = {QStringLiteral("--folder-file"), item.folder, item.jobID()};
            }
        } else {
            // The link holds the file's key: on the command line every local user could read it.
            input = item.url.toUtf8() + '\n';
            arguments = {QStringLiteral("-"), item.folder, item.jobID()};
        }
    } else {
        const auto ytDlp = executable(QStringLiteral("yt-dlp"));
        if (!ytDlp) {
            fail(item.id, QStringLiteral("yt-dlp engine is missing. Rebuild or reinstall Lark."));
            return;
        }
        const auto audio = audioFormat(item.quality);
        if (audio && item.format.isEmpty() && !executable(QStringLiteral("ffmpeg"))) {
            fail(item.id,
                 QStringLiteral("%1 requires FFmpeg. Choose a video quality or install FFmpeg.").arg(audio->toUpper()));
            return;
        }
        program = *ytDlp;
        const auto cookiesCopy = copyCookies(item.id);
        if (!cookiesCopy) {
            fail(item.id, QStringLiteral("The cookies file %1 cannot be read: choose it again in the \u2026 menu, or "
                                         "choose no cookies.")
                              .arg(cookiesFile()));
            return;
        }
        if (!cookiesCopy->isEmpty())
            m_cookieCopies.insert(item.id, *cookiesCopy);
        YtDlpOptions options = ytDlpOptions(*cookiesCopy);
        options.rateLimit = rate;
        arguments = ytDlpArguments(item, options);
        // What an earlier run left under the final name is not known to be whole.
        if (!neverStarted)
            WorkingFiles::removeUnfinishedOutputs(item);
    }

    Worker *worker = job ? takeSpareWorker() : nullptr;
    const bool fresh = !worker;
    if (fresh) {
        worker = new Worker(item.id, m_stopGraceMs);
        connect(worker, &Worker::lineRead, this, &DownloadManager::consume);
        connect(worker, &Worker::exited, this, &DownloadManager::ended);
        connect(worker, &Worker::launchFailed, this, &DownloadManager::launchFailed);
        connect(worker, &Worker::idleEnded, this, [this, worker] {
            m_spareWorkers.removeOne(worker);
            worker->deleteLater();
        });
    }
    m_workers.insert(item.id, worker);
    m_runNotes.insert(item.id, RunNotes());
    change(item.id, [](DownloadItem &started) {
        started.state = DownloadState::downloading;
        started.detail = QStringLiteral("Connecting\u2026");
        started.clearRates();
        started.retryAt.reset();
        started.stoppedByQuit = false;
        // Only this run can say which file is finished.
        started.file.reset();
    });
    if (!job) {
        worker->launch(program, arguments, environment, input);
        return;
    }
    if (fresh)
        worker->serve(program, arguments, environment);
    worker->hand(item.id, *job);
}

Worker *DownloadManager::takeSpareWorker()
{
    for (qsizetype i = 0; i < m_spareWorkers.size(); ++i) {
        if (m_spareWorkers[i]->isIdle())
            return m_spareWorkers.takeAt(i);
    }
    return nullptr;
}

void DownloadManager::retire(Worker *worker)
{
    if (!worker)
        return;
    if (!worker->isIdle()) {
        worker->deleteLater();
        return;
    }
    m_spareWorkers.append(worker);
    if (m_isClosing)
        releaseSpareWorkers();
    else
        m_spareTimer.start();
}

void DownloadManager::releaseSpareWorkers()
{
    // Each ends once its standard input is closed, and is deleted then.
    for (Worker *worker : std::as_const(m_spareWorkers))
        worker->release();
}

std::optional<QString> DownloadManager::copyCookies(const QUuid &run) const
{
    const QString cookies = cookiesFile();
    if (cookies.isEmpty())
        return QString();
    // yt-dlp writes the cookies back into the file it is given when it
    // ends: each run gets a private copy, so the user's file is never
    // written, and runs side by side never write over each other.
    const QString copy =
        QDir(m_support).filePath(QStringLiteral("cookies-%1.txt").arg(run.toString(QUuid::WithoutBraces)));
    QFile::remove(copy);
    if (!QFile::copy(cookies, copy))
        return std::nullopt;
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
    return copy;
}

YtDlpOptions DownloadManager::ytDlpOptions(const QString &cookiesCopy) const
{
    YtDlpOptions options;
    options.ffmpeg = executable(QStringLiteral("ffmpeg"));
    // Older yt-dlp refuses the option outright; newer ones find deno on PATH by themselves.
    if (m_ytDlpRelease && *m_ytDlpRelease >= ytDlpJsRuntimesRelease()) {
        if (const auto deno = executable(QStringLiteral("deno")))
            options.jsRuntime = QStringLiteral("deno:") + *deno;
    }
    if (subtitlesWanted()) {
        options.subtitleLanguages = subtitleLanguages();
        options.automaticSubtitles = automaticSubtitles();
    }
    options.cookiesFile = cookiesCopy;
    return options;
}

std::optional<qint64> DownloadManager::rateShare() const
{
    if (m_speedLimit <= 0)
        return std::nullopt;
    // Shared evenly by what will run at once: the running, this one, and
    // the queued that start beside it.
    const int running = static_cast<int>(m_workers.size()) + 1;
    const int sharing = std::clamp(running + std::max(0, waiting() - 1), 1, std::max(m_concurrency, running));
    return std::max(slowestShare, m_speedLimit / sharing);
}

void DownloadManager::launchFailed(const QUuid &id, const QString &description)
{
    if (const QString copy = m_cookieCopies.take(id); !copy.isEmpty())
        QFile::remove(copy);
    if (Worker *worker = m_workers.take(id))
        worker->deleteLater();
    // A resume asked for while it was starting died with the launch.
    m_pendingResume.remove(id);
    m_runNotes.remove(id);
    fail(id, description);
    pump();
}

void DownloadManager::consume(const QUuid &id, const QString &line)
{
    const qsizetype index = indexOf(id);
    if (index < 0)
        return;
    DownloadItem &target = m_items[static_cast<size_t>(index)];
    const auto notes = m_runNotes.find(id);
    if (notes != m_runNotes.end())
        notes->take(line);
    // A paused item takes no more progress, but the file of a worker that got
    // to the end before the pause did is kept: its exit decides.
    if (target.state == DownloadState::paused && m_workers.contains(id)) {
        if (const auto file = reportedFile(target, line))
            m_finishedFiles.insert(id, *file);
    }
    if (applyWorkerLine(target, line, notes != m_runNotes.end() ? &*notes : nullptr)) {
        markChanged(static_cast<size_t>(index));
        m_model->rowChanged(rowOf(index));
        // Rewriting the whole history every few seconds for a percentage would
        // make each line cost as much as the history is long.
        if (line.startsWith(QLatin1String(WorkerProtocol::progress)))
            saveProgress();
        else
            save();
    }
}

void DownloadManager::ended(const QUuid &id, int status)
{
    const DownloadItem *current = item(id);
    // A worker that finished its file before the pause reached it: the file is
    // complete, and a paused row at some percentage would be a lie.
    const std::optional<QString> lateFile =
        m_finishedFiles.contains(id) ? std::optional<QString>(m_finishedFiles.take(id)) : std::nullopt;
    const bool finishedAnyway =
        status == 0 && current && current->state == DownloadState::paused && lateFile && QFileInfo::exists(*lateFile);
    const RunNotes notes = m_runNotes.take(id);
    if (const QString copy = m_cookieCopies.take(id); !copy.isEmpty())
        QFile::remove(copy);
    // A link that holds several videos: nothing was fetched, the videos are listed for the user to pick.
    if (status == 0 && current && current->state == DownloadState::downloading && notes.entries() > 1 &&
        !current->playlistItem && !(current->file && QFileInfo(current->file.value()).isFile())) {
        const DownloadItem listed = *current;
        retire(m_workers.take(id));
        m_pendingResume.remove(id);
        removeItemsWhere([&id](const DownloadItem &candidate) { return candidate.id == id; });
        save();
        listPlaylist(listed);
        pump();
        return;
    }
    // Ended by the signal that is ending the application (a logout signals the whole group): a pause.
    const bool endedWithApplication = status != 0 && status == endingSignal();
    // Completed means a whole file is there: an exit without one is a failure, whatever its status.
    const bool saved = current && (finishedAnyway || (current->file && QFileInfo(*current->file).isFile()));
    const bool notify = status == 0 && saved && (current->state == DownloadState::downloading || finishedAnyway) &&
                        !m_isClosing && m_notificationsEnabled;
    retire(m_workers.take(id));
    if (finishedAnyway)
        m_pendingResume.remove(id);
    if (const auto removed = m_removedWhileRunning.constFind(id); removed != m_removedWhileRunning.cend()) {
        WorkingFiles::removeInBackground({*removed});
        m_removedWhileRunning.erase(removed);
    }
    if (current) {
        change(id, [this, status, saved, finishedAnyway, endedWithApplication, &lateFile,
                    &notes](DownloadItem &finished) {
            if (finishedAnyway)
                finished.file = lateFile;
            if (finished.state == DownloadState::downloading && endedWithApplication) {
                finished.state = DownloadState::paused;
                finished.detail = pausedDetail;
            } else if (finished.state == DownloadState::downloading || finishedAnyway) {
                if (status != 0) {
                    finished.state = DownloadState::failed;
                    const bool saidWhy = finished.detail.startsWith(QLatin1String("ERROR:"));
                    if (!saidWhy)
                        finished.detail = notes.cookieFailure(finished.browser)
                                              .value_or(QStringLiteral("Download stopped (%1). Check the link, "
                                                                       "connection, or browser sign-in, then retry.")
                                                            .arg(status));
                    // lark-mega says what kind of failure it was; yt-dlp's
                    // free text is read through the table of known lines.
                    // Only the application's own tool says so on a line of its own.
                    std::optional<WorkerFailure> failure =
                        finished.platform() == QLatin1String("MEGA") ? notes.failure() : std::nullopt;
                    if (!failure && saidWhy) {
                        if (const auto kind = FailureWords::kind(finished.detail))
                            failure = WorkerFailure{*kind, std::nullopt};
                    }
                    if (failure && failure->kind == FailureKind::quota && failure->waitSeconds)
                        finished.detail = QStringLiteral("ERROR: MEGA transfer quota reached. Quota resets at %1.")
                                              .arg(m_clock->now()
                                                       .addSecs(*failure->waitSeconds)
                                                       .toLocalTime()
                                                       .toString(QStringLiteral("HH:mm")));
                    scheduleRetry(finished, failure);
                } else if (!saved) {
                    finished.state = DownloadState::failed;
                    finished.detail =
                        notes.entries() > 1
                            ? QStringLiteral("This link holds %1 videos and Lark saves one video per link, so "
                                             "nothing was saved: add the link of each video on its own.")
                                  .arg(notes.entries())
                            : QStringLiteral("The download ended without a finished file, so nothing was saved: "
                                             "retry it.");
                } else {
                    finished.state = DownloadState::completed;
                    finished.progress = 100;
                    finished.detail = QStringLiteral("Saved to your computer");
                    // A cap is kept only where the site says how high its video is.
                    if (const auto cap = heightCap(finished.quality);
                        cap && finished.format.isEmpty() && notes.saidHeight()) {
                        if (!notes.height())
                            finished.detail += QStringLiteral(" \u2022 The site does not say the video's "
                                                              "height, so the %1p cap could not apply.")
                                                   .arg(*cap);
                        else if (*notes.height() > *cap)
                            finished.detail += QStringLiteral(" \u2022 Nothing of %1p or less was offered, so it "
                                                              "came at %2p.")
                                                   .arg(*cap)
                                                   .arg(*notes.height());
                    }
                    if (!finished.archiveKey.isEmpty())
                        recordInArchive(finished.archiveKey);
                    finished.retries = 0;
                    finished.failureKind.reset();
                    // The size of what was saved: after a conversion it is not what was fetched.
                    const qint64 size = QFileInfo(*finished.file).size();
                    finished.bytesDone = size;
                    finished.bytesTotal = size;
                }
            }
            finished.clearRates();
        });
        watchRetries();
    }
    if (notify && m_notifier) {
        if (const DownloadItem *done = item(id); done && done->state == DownloadState::completed)
            m_notifier->completed(*done);
    }
    if (m_pendingResume.remove(id)) {
        change(id, [](DownloadItem &requeued) { requeued.state = DownloadState::queued; });
    }
    pump();
}

void DownloadManager::interrupt(const QUuid &id)
{
    if (Worker *worker = m_workers.value(id))
        worker->interrupt();
}

void DownloadManager::pause(const QUuid &id)
{
    m_pendingResume.remove(id);
    m_waiting.remove(id);
    change(id, [this](DownloadItem &paused) {
        // Paused by the user, it waits for the user whatever the setting.
        paused.stoppedByQuit = m_isClosing && paused.stoppedByQuit;
        paused.state = DownloadState::paused;
        paused.clearRates();
        paused.retryAt.reset();
        paused.detail = pausedDetail;
    });
    interrupt(id);
}

void DownloadManager::resume(const QUuid &id)
{
    if (m_workers.contains(id)) {
        m_pendingResume.insert(id);
        return;
    }
    // Asked for by the user: the automatic retries start over.
    m_waiting.remove(id);
    change(id, [](DownloadItem &resumed) {
        resumed.state = DownloadState::queued;
        resumed.detail = waitingDetail;
        resumed.retryAt.reset();
        resumed.retries = 0;
    });
    watchRetries();
    pump();
}

void DownloadManager::remove(const QUuid &id)
{
    interrupt(id);
    m_pendingResume.remove(id);
    if (const DownloadItem *removed = item(id))
        forgetWorkingFiles({*removed});
    removeItemsWhere([&id](const DownloadItem &item) { return item.id == id; });
    save();
}

void DownloadManager::forgetWorkingFiles(const QList<DownloadItem> &removed)
{
    // A running worker still writes them: they go when it has ended.
    QList<DownloadItem> idle;
    for (const DownloadItem &item : removed) {
        m_neverStarted.remove(item.id);
        if (m_workers.contains(item.id))
            m_removedWhileRunning.insert(item.id, item);
        else
            idle.append(item);
    }
    WorkingFiles::removeInBackground(idle);
}

void DownloadManager::pauseAll()
{
    // A wait to try again is the user's to cancel; closing keeps it for the next start.
    for (const QUuid &id : idsWhere([this](const DownloadItem &item) {
             const bool waiting = item.state == DownloadState::failed && item.retryAt && !m_isClosing;
             return item.state == DownloadState::downloading || item.state == DownloadState::queued || waiting;
         }))
        pause(id);
}

void DownloadManager::resumeAll()
{
    resumeWhere([](const DownloadItem &item) {
        return item.state == DownloadState::paused || item.state == DownloadState::failed;
    });
}

void DownloadManager::retryFailed()
{
    resumeWhere([](const DownloadItem &item) { return item.state == DownloadState::failed; });
}

void DownloadManager::resumeWhere(const std::function<bool(const DownloadItem &)> &chosen)
{
    for (const QUuid &id : idsWhere(chosen)) {
        m_waiting.remove(id);
        change(id, [](DownloadItem &resumed) {
            resumed.state = DownloadState::queued;
            resumed.retryAt.reset();
            resumed.retries = 0;
        });
    }
    watchRetries();
    pump();
}

void DownloadManager::clearAll()
{
    // Every item goes as remove would take it, but in one pass over the list.
    for (const DownloadItem &item : m_items) {
        interrupt(item.id);
        m_pendingResume.remove(item.id);
    }
    forgetWorkingFiles(QList<DownloadItem>(m_items.cbegin(), m_items.cend()));
    removeItemsWhere([](const DownloadItem &) { return true; });
    save();
    setNotice(QStringLiteral("Queue cleared. Downloaded files remain on disk."));
}

void DownloadManager::clearCompleted()
{
    removeItemsWhere([](const DownloadItem &item) { return item.state == DownloadState::completed; });
    save();
}

void DownloadManager::shutdown()
{
    m_isClosing = true;
    Q_EMIT isClosingChanged();
    // What quitting pauses is told apart from what the user paused, for the next start.
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (m_items[i].state == DownloadState::downloading || m_items[i].state == DownloadState::queued) {
            m_items[i].stoppedByQuit = true;
            markChanged(i);
        }
    }
    pauseAll();
    releaseSpareWorkers();
    m_saveTimer.stop();
    writeQueue();
}

void DownloadManager::save()
{
    // Each change moves the write later, but never past a bound set by the first
    // unwritten change: progress lines that never pause must not keep the list
    // off the disk for the whole of a long download.
    if (!m_saveTimer.isActive())
        m_latestSave.setRemainingTime(m_maxSaveDelayMs);
    m_saveDeadline.setRemainingTime(m_saveDelayMs);
    if (m_latestSave < m_saveDeadline)
        m_saveDeadline = m_latestSave;
    if (!m_saveTimer.isActive())
        m_saveTimer.start(m_saveDelayMs);
}

void DownloadManager::saveProgress()
{
    if (!m_saveTimer.isActive() && !m_progressSaveTimer.isActive())
        m_progressSaveTimer.start();
}

void DownloadManager::writeQueue()
{
    m_progressSaveTimer.stop();
    if (const auto error = m_history->writeNow()) {
        setNotice(QStringLiteral("Could not save history: ") + *error, NoticeTone::failure);
        return;
    }
    Q_EMIT historyWritten();
}

void DownloadManager::setNotifier(CompletionNotifier *notifier)
{
    m_notifier = notifier;
}

void DownloadManager::configureNotifications()
{
    if (!m_notifier)
        return;
    QPointer<DownloadManager> self(this);
    m_notifier->configure(m_notificationsEnabled, [self](const QString &status) {
        QMetaObject::invokeMethod(
            qApp,
            [self, status] {
                if (!self)
                    return;
                self->m_notificationStatus = status;
                Q_EMIT self->notificationStatusChanged();
            },
            Qt::QueuedConnection);
    });
}

void DownloadManager::chooseFolder()
{
    Q_EMIT folderPanelRequested();
}

void DownloadManager::saveChosenFolder(const QString &path)
{
    setFolder(path);
    setNotice(QStringLiteral("New downloads will be saved to ") + path);
}

void DownloadManager::reveal(const DownloadItem &target)
{
    QPointer<DownloadManager> self(this);
    revealInFileManager(target.file, target.folder, this, [self](const QString &reason) {
        if (self)
            self->setNotice(reason, NoticeTone::failure);
    });
}

void DownloadManager::open(const DownloadItem &target)
{
    if (target.state != DownloadState::completed)
        return;
    if (!target.file || !QFileInfo::exists(*target.file)) {
        setNotice(QStringLiteral("The file of \"%1\" is no longer where it was saved, so it could not be opened.")
                      .arg(target.title),
                  NoticeTone::failure);
        return;
    }
    QPointer<DownloadManager> self(this);
    openWithDesktop(*target.file, [self](const QString &reason) {
        if (self)
            self->setNotice(reason, NoticeTone::failure);
    });
}

void DownloadManager::clearFolderRequest()
{
    if (!m_folderRequest)
        return;
    m_folderRequest.reset();
    Q_EMIT folderRequestChanged();
}

void DownloadManager::presentNextFolder()
{
    if (m_folderRequest || m_pendingFolderLinks.isEmpty())
        return;
    m_folderRequest = MegaFolderRequest(m_pendingFolderLinks.takeFirst());
    Q_EMIT folderRequestChanged();
}

void DownloadManager::folderBrowserDismissed()
{
    // "Choose files from N MEGA folders" counts the browsers still to come.
    if (!m_folderNotice.isEmpty() && m_notice == m_folderNotice) {
        const auto left = static_cast<int>(m_pendingFolderLinks.size());
        QString notice = m_noticeBeforeFolders;
        if (left > 0) {
            const QString folderText =
                QStringLiteral("Choose files from ") + plural(left, QStringLiteral("MEGA folder"));
            notice = notice.isEmpty() ? folderText : notice + QStringLiteral(" \u2022 ") + folderText;
        }
        m_folderNotice = left > 0 ? notice : QString();
        setNotice(notice);
    }
    QMetaObject::invokeMethod(this, &DownloadManager::presentNextFolder, Qt::QueuedConnection);
}

void DownloadManager::addMegaFiles(const QList<MegaFolderNode> &nodes, const MegaFolderListing &listing)
{
    int added = 0;
    QSet<QString> unfinished; // identities of the MEGA files already on their way
    std::vector<DownloadItem> batch;
    for (const DownloadItem &item : m_items) {
        if (item.megaNode && isUnfinished(item))
            unfinished.insert(item.megaNode->identity());
    }
    // The folders of the share by id, to name the folders each file is in.
    QHash<QString, const MegaFolderNode *> folders;
    if (keepsMegaFolders()) {
        for (const MegaFolderNode &node : listing.nodes) {
            if (node.isFolder && !folders.contains(node.id))
                folders.insert(node.id, &node);
        }
    }
    const auto foldersOf = [&folders](const MegaFolderNode &file) {
        QStringList names;
        QSet<QString> seen; // a listing whose parents run in a circle ends
        for (const MegaFolderNode *folder = file.parent ? folders.value(*file.parent) : nullptr;
             folder && !seen.contains(folder->id); folder = folder->parent ? folders.value(*folder->parent) : nullptr) {
            seen.insert(folder->id);
            names.prepend(folder->name);
        }
        // The outermost folders are kept; what is deeper goes into the deepest kept.
        return names.mid(0, MegaNodeDownload::maxFolderDepth);
    };
    for (const MegaFolderNode &node : nodes) {
        if (node.isFolder)
            continue;
        const MegaNodeDownload download{listing.shareHandle, node.id,   node.key.toString(),
                                        node.name,           node.size, foldersOf(node)};
        if (download.validate())
            continue;
        const QString identity = download.identity();
        if (unfinished.contains(identity))
            continue;
        unfinished.insert(identity);
        DownloadItem item(listing.sourceURL + QStringLiteral("/file/") + node.id, printableText(node.name), m_folder,
                          QStringLiteral("Original file"), QStringLiteral("None"));
        item.megaNode = download;
        item.bytesTotal = std::max<qint64>(node.size, 0);
        batch.push_back(std::move(item));
        ++added;
    }
    insertBatch(std::move(batch));
    setNotice(QStringLiteral("Added ") + plural(added, QStringLiteral("selected MEGA file")) +
              QStringLiteral(" to the queue"));
    save();
    pump();
}

void DownloadManager::listPlaylist(const DownloadItem &item)
{
    if (m_listings.contains(item.url))
        return;
    const auto ytDlp = executable(QStringLiteral("yt-dlp"));
    if (!ytDlp) {
        setNotice(QStringLiteral("The videos of %1 cannot be listed: yt-dlp was not found.").arg(item.url),
                  NoticeTone::failure);
        return;
    }
    setNotice(QStringLiteral("Listing the videos of %1\u2026").arg(item.url), NoticeTone::information);
    const QString cookies = copyCookies(QUuid::createUuid()).value_or(QString());
    const YtDlpOptions options = ytDlpOptions(cookies);
    auto *listing = new HelperRun(*ytDlp, ytDlpListingArguments(item.url, item.browser, options), m_tools.environment(),
                                  maxListingBytes, listingTimeoutMs, this);
    // In Lark's private folder: nothing yt-dlp might write lands where Lark was started from.
    listing->setWorkingDirectory(m_support);
    m_listings.insert(item.url, listing);
    connect(listing, &HelperRun::finished, this, [this, listing, item, cookies](bool ok) {
        listing->deleteLater();
        if (!cookies.isEmpty())
            QFile::remove(cookies);
        m_listings.remove(item.url);
        // A listing cut off at its bound or its time is not the link's whole list.
        if (!ok) {
            setNotice(QStringLiteral("The videos of %1 could not be listed: %2").arg(item.url, listing->failure()),
                      NoticeTone::failure);
            return;
        }
        PlaylistListing listed = parsePlaylistListing(item.url, listing->lines());
        // What the archive holds was downloaded from a listing before.
        QSet<QString> archived;
        QFile archive(archivePath());
        if (archive.open(QIODevice::ReadOnly)) {
            while (!archive.atEnd())
                archived.insert(QString::fromUtf8(archive.readLine()).trimmed());
        }
        const qsizetype before = listed.entries.size();
        listed.entries.removeIf(
            [&archived](const PlaylistEntry &entry) { return archived.contains(entry.archiveKey); });
        listed.skipped = static_cast<int>(before - listed.entries.size());
        listed.quality = item.quality;
        listed.folder = item.folder;
        listed.browser = item.browser;
        if (listed.entries.isEmpty()) {
            setNotice(listed.skipped > 0 ? QStringLiteral("All %1 videos of %2 were downloaded before.")
                                               .arg(listed.skipped)
                                               .arg(listed.title.isEmpty() ? item.url : listed.title)
                                         : QStringLiteral("No videos were found behind %1.").arg(item.url),
                      NoticeTone::information);
            return;
        }
        setNotice(QStringLiteral("Choose from %1").arg(plural(listed.entries.size(), QStringLiteral("video"))) +
                      (listed.skipped > 0 ? QStringLiteral(" \u2022 %1 downloaded before, skipped").arg(listed.skipped)
                                          : QString()),
                  NoticeTone::information);
        m_playlistRequests.append(std::move(listed));
        if (m_playlistRequests.size() == 1)
            Q_EMIT playlistRequestChanged();
    });
    listing->start();
}

const PlaylistListing *DownloadManager::playlistRequest() const
{
    return m_playlistRequests.isEmpty() ? nullptr : &m_playlistRequests.constFirst();
}

void DownloadManager::addPlaylistEntries(const QList<int> &chosen, const QString &quality)
{
    if (m_playlistRequests.isEmpty())
        return;
    const PlaylistListing listing = m_playlistRequests.takeFirst();
    std::vector<DownloadItem> batch;
    for (const int at : chosen) {
        if (at < 0 || at >= listing.entries.size())
            continue;
        const PlaylistEntry &entry = listing.entries[at];
        DownloadItem item(entry.url, entry.title, listing.folder, quality, listing.browser);
        item.playlistItem = entry.playlistItem;
        item.archiveKey = entry.archiveKey;
        batch.push_back(std::move(item));
    }
    const auto added = static_cast<qsizetype>(batch.size());
    insertBatch(std::move(batch));
    setNotice(QStringLiteral("Added ") + plural(added, QStringLiteral("download")), NoticeTone::information);
    save();
    pump();
    Q_EMIT playlistRequestChanged();
}

void DownloadManager::dismissPlaylist()
{
    if (m_playlistRequests.isEmpty())
        return;
    m_playlistRequests.removeFirst();
    Q_EMIT playlistRequestChanged();
}

QString DownloadManager::archivePath() const
{
    return QDir(m_support).filePath(QStringLiteral("archive.txt"));
}

void DownloadManager::recordInArchive(const QString &key)
{
    QFile archive(archivePath());
    if (!archive.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    archive.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    archive.write(printableText(key).toUtf8() + '\n');
}

bool DownloadManager::mayChooseFormat(const QUuid &id) const
{
    const DownloadItem *target = item(id);
    return target && target->platform() != QLatin1String("MEGA") && !m_workers.contains(id) &&
           (target->state == DownloadState::queued || target->state == DownloadState::paused) &&
           target->progress == 0 && !target->bytesDone;
}

void DownloadManager::listFormats(const QUuid &id)
{
    const DownloadItem *target = item(id);
    const auto ytDlp = executable(QStringLiteral("yt-dlp"));
    if (!target || !ytDlp) {
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                Q_EMIT formatsListed(id, {}, QStringLiteral("yt-dlp was not found, so no formats can be listed."));
            },
            Qt::QueuedConnection);
        return;
    }
    const QString cookies = copyCookies(QUuid::createUuid()).value_or(QString());
    auto *query = new HelperRun(*ytDlp, ytDlpFormatListArguments(*target, ytDlpOptions(cookies)), m_tools.environment(),
                                maxListingBytes, listingTimeoutMs, this);
    query->setWorkingDirectory(m_support);
    connect(query, &HelperRun::finished, this, [this, query, id, cookies](bool ok) {
        query->deleteLater();
        if (!cookies.isEmpty())
            QFile::remove(cookies);
        const auto formats = ok ? parseVideoFormats(query->output()) : std::nullopt;
        if (!formats || formats->isEmpty()) {
            Q_EMIT formatsListed(id, {},
                                 ok ? QStringLiteral("yt-dlp listed no formats for this link.") : query->failure());
            return;
        }
        Q_EMIT formatsListed(id, *formats, QString());
    });
    query->start();
}

void DownloadManager::setFormat(const QUuid &id, const QString &selector, const QString &label)
{
    if (!mayChooseFormat(id))
        return;
    change(id, [&selector, &label](DownloadItem &chosen) {
        chosen.format = selector;
        chosen.quality = label;
    });
}
