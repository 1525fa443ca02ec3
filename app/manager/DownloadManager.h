#pragma once

#include "app/manager/Clock.h"
#include "app/manager/WorkerTools.h"
#include "app/records/DownloadItem.h"
#include "app/records/PlaylistListing.h"
#include "app/records/RunNotes.h"
#include "app/records/VideoFormat.h"
#include "model/MegaFolderListing.h"
#include "model/MegaFolderRequest.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QUuid>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class CompletionNotifier;
class DownloadListModel;
class HistoryFile;
class QSettings;
class SleepInhibitor;
class HelperRun;
class Worker;
struct YtDlpOptions;

// The one object that owns the download queue: scheduling, worker processes,
// pause and resume, the history file and the settings, and the MEGA folder
// links waiting for the browser. Main thread only.
class DownloadManager : public QObject {
    Q_OBJECT
public:
    // How a notice reads: news, something to look at, or something that went wrong.
    enum class NoticeTone { information, warning, failure };
    Q_ENUM(NoticeTone)

private:
    Q_PROPERTY(QString folder READ folder WRITE setFolder NOTIFY folderChanged)
    Q_PROPERTY(int concurrency READ concurrency WRITE setConcurrency NOTIFY concurrencyChanged)
    Q_PROPERTY(QString quality READ quality WRITE setQuality NOTIFY qualityChanged)
    Q_PROPERTY(QString browser READ browser WRITE setBrowser NOTIFY browserChanged)
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    Q_PROPERTY(QString notificationStatus READ notificationStatus NOTIFY notificationStatusChanged)
    Q_PROPERTY(bool notificationsEnabled READ notificationsEnabled WRITE setNotificationsEnabled NOTIFY
                   notificationsEnabledChanged)
    Q_PROPERTY(bool isClosing READ isClosing NOTIFY isClosingChanged)
    Q_PROPERTY(bool retriesAutomatically READ retriesAutomatically WRITE setRetriesAutomatically NOTIFY
                   retriesAutomaticallyChanged)
    Q_PROPERTY(bool continuesOnStart READ continuesOnStart WRITE setContinuesOnStart NOTIFY continuesOnStartChanged)

public:
    // Seams for tests; the application passes none of them.
    struct Options {
        QString storageDirectory;                     // default: the data directory + "Lark Downloader"
        QSettings *settings = nullptr;                // default: QSettings("Lark", "Lark Downloader")
        QString toolDirectory;                        // default: the resources directory + "Tools"
        std::optional<QStringList> searchDirectories; // default: tool directory, ~/.local/bin, ...
        int saveDelayMs = 400;
        // A stream of changes still reaches the disk this often.
        int maxSaveDelayMs = 5000;
        // Progress alone reaches it this often: a worker's next run reports it again.
        int progressSaveDelayMs = 60000;
        // A worker asked to stop that still runs this long after SIGINT gets
        // SIGTERM, and SIGKILL as long after that.
        int stopGraceMs = 5000;
        Clock *clock = nullptr; // default: the system's
    };

    // Where the history lives when no storage directory is given.
    static QString defaultStorageDirectory();

    explicit DownloadManager(QObject *parent = nullptr);
    explicit DownloadManager(Options options, QObject *parent = nullptr);
    ~DownloadManager() override;

    // Items, newest first.
    QList<DownloadItem> items() const;
    int count() const { return static_cast<int>(m_items.size()); }
    const DownloadItem &itemAt(int row) const;
    const DownloadItem *item(const QUuid &id) const;
    DownloadListModel *model() const { return m_model.get(); }

    QString folder() const { return m_folder; }
    void setFolder(const QString &folder);
    int concurrency() const { return m_concurrency; }
    void setConcurrency(int concurrency);
    QString quality() const { return m_quality; }
    void setQuality(const QString &quality);
    QString browser() const { return m_browser; }
    void setBrowser(const QString &browser);
    QString notice() const { return m_notice; }
    NoticeTone noticeTone() const { return m_noticeTone; }
    void dismissNotice() { setNotice(QString()); }
    QString notificationStatus() const { return m_notificationStatus; }
    bool notificationsEnabled() const { return m_notificationsEnabled; }
    void setNotificationsEnabled(bool enabled);
    bool isClosing() const { return m_isClosing; }
    // Whether failures that may pass (a dropped connection, a busy server, a
    // used-up quota) are tried again by themselves.
    bool retriesAutomatically() const { return m_retriesAutomatically; }
    void setRetriesAutomatically(bool enabled);
    QDateTime now() const { return m_clock->now(); }
    // Whether what Lark's quitting paused goes on when it starts again; what
    // the user paused waits for the user either way.
    bool continuesOnStart() const { return m_continuesOnStart; }
    void setContinuesOnStart(bool enabled);
    // Whether links copied anywhere are offered as soon as they are copied,
    // not only when the window is next activated.
    bool watchesClipboard() const;
    void setWatchesClipboard(bool enabled);
    // Whether files picked from a MEGA folder are saved under the folders
    // they are in (the default), or all straight into the download folder.
    bool keepsMegaFolders() const;
    void setKeepsMegaFolders(bool enabled);
    // Bytes a second all downloads together may take; 0: no limit.
    qint64 speedLimit() const { return m_speedLimit; }
    void setSpeedLimit(qint64 bytesPerSecond);
    // Subtitles in these languages are fetched with videos when subtitlesWanted.
    bool subtitlesWanted() const;
    void setSubtitlesWanted(bool wanted);
    QStringList subtitleLanguages() const;
    // Language codes as the user wrote them; anything else is left out.
    void setSubtitleLanguages(const QString &text);
    bool automaticSubtitles() const;
    void setAutomaticSubtitles(bool wanted);
    // A cookies.txt the user chose, used instead of a signed-in browser; empty: none.
    QString cookiesFile() const;
    // False, with the reason said, when the file is not a readable cookies file.
    bool setCookiesFile(const QString &path);
    const std::optional<MegaFolderRequest> &folderRequest() const { return m_folderRequest; }
    void clearFolderRequest();
    QStringList pendingFolderLinks() const { return m_pendingFolderLinks; }

    int active() const;
    int finished() const;
    int waiting() const;
    // Items in this state; kept up to date with every change, so reading it is free.
    int count(DownloadState state) const { return m_stateCounts[static_cast<size_t>(state)]; }
    int workerCount() const { return static_cast<int>(m_workers.size()); }

    // The user-defaults store, for what the window keeps of itself (its place on screen).
    QSettings &settings() const { return *m_settings; }
    QString storagePath() const;
    QString supportDirectory() const { return m_support; }
    QString toolDirectory() const { return m_tools.toolDirectory(); }
    // The release of the yt-dlp that runs, once the check has read it.
    std::optional<QDate> ytDlpRelease() const { return m_ytDlpRelease; }
    // The first directory of the search list holding an executable file called name.
    std::optional<QString> executable(const QString &name) const;

    // Operations of the user interface.
    // Adds the links of a text; with skipCompleted, links whose download is
    // already complete in the list are left out.
    bool add(const QString &text, bool skipCompleted = false);
    // The links of a text whose download is already complete in the list.
    QStringList alreadyCompleted(const QString &text) const;
    // The links of a text that are in the list in no state, nor waiting for the folder browser.
    QStringList notInQueue(const QString &text) const;
    void pump();
    void pause(const QUuid &id);
    void resume(const QUuid &id);
    void remove(const QUuid &id);
    void pauseAll();
    void resumeAll();
    // Tries every failed item again.
    void retryFailed();
    // Opens a finished file with the desktop's application for it.
    void open(const DownloadItem &item);
    void clearAll();
    void clearCompleted();
    void shutdown();
    void reveal(const DownloadItem &item);
    void chooseFolder();
    // What the download-location panel calls with the folder the user picked.
    void saveChosenFolder(const QString &path);
    void presentNextFolder();
    void folderBrowserDismissed();
    void addMegaFiles(const QList<MegaFolderNode> &nodes, const MegaFolderListing &listing);

    // Links that hold several videos, listed and waiting for the user to pick from; the first is shown.
    const PlaylistListing *playlistRequest() const;
    // Adds the chosen entries of the shown listing as downloads of this quality, and shows the next listing.
    void addPlaylistEntries(const QList<int> &chosen, const QString &quality);
    void dismissPlaylist();
    // Where the keys of entries downloaded from listings are kept, one a line.
    QString archivePath() const;

    // Asks yt-dlp which formats the item's link offers; formatsListed answers.
    void listFormats(const QUuid &id);
    // Whether an item may still have its format chosen: a video not started yet.
    bool mayChooseFormat(const QUuid &id) const;
    // The format picked for one download ("137+bestaudio/137"), with what the row says of it.
    void setFormat(const QUuid &id, const QString &selector, const QString &label);

    // Whether the notice offers to install or update Lark's own yt-dlp.
    bool offersYtDlpUpdate() const { return m_offersYtDlpUpdate && !m_ytDlpUpdate; }
    bool updatingYtDlp() const { return m_ytDlpUpdate != nullptr; }
    // Installs, or brings up to date, Lark's own yt-dlp; the notice follows it.
    void updateYtDlp(bool quietly = false);
    // Where Lark's own yt-dlp lives.
    QString ownYtDlpDirectory() const;

    // Completion notices; the manager does not own the notifier.
    void setNotifier(CompletionNotifier *notifier);
    void configureNotifications();
    // Asks the yt-dlp in use for its version in the background, once; the
    // notice then says whether it wants updating, installing or deno.
    void checkYtDlp();

    // History.
    void save();
    // Saves a change of progress alone, which waits for the next save or the progress delay.
    void saveProgress();
    // Writes the history now, after any write still under way.
    void writeQueue();

    // Applies one mutation to the item with this id and schedules a save.
    void change(const QUuid &id, const std::function<void(DownloadItem &)> &mutation);
    // One line of a worker's output.
    void consume(const QUuid &id, const QString &line);
    // Starts the items whose wait before trying again is over.
    void retryDue();
    // A worker's exit: its exit code, or the signal that ended it.
    void ended(const QUuid &id, int status);
    // A worker whose program could not be started.
    void launchFailed(const QUuid &id, const QString &description);
    // What becomes of a worker whose item has ended: kept for the next file
    // of a folder while it serves and the next may come, ended otherwise.
    void retire(Worker *worker);
    Worker *takeSpareWorker();
    void releaseSpareWorkers();

Q_SIGNALS:
    void folderChanged();
    void concurrencyChanged();
    void qualityChanged();
    void browserChanged();
    void noticeChanged();
    void notificationStatusChanged();
    void notificationsEnabledChanged();
    void isClosingChanged();
    void retriesAutomaticallyChanged();
    void continuesOnStartChanged();
    void watchesClipboardChanged();
    void keepsMegaFoldersChanged();
    void folderRequestChanged();
    void playlistRequestChanged();
    void formatsListed(const QUuid &id, const QList<VideoFormat> &formats, const QString &error);
    void ytDlpUpdateChanged();
    void speedLimitChanged();
    void subtitlesChanged();
    void cookiesFileChanged();
    // Any item's state changed, or items came or went: the counts may differ.
    void countsChanged();
    // The download-location panel should be shown (or brought forward).
    void folderPanelRequested();
    void historyWritten();

private:
    void start(const DownloadItem &item);
    void fail(const QUuid &id, const QString &message);
    void setNotice(const QString &notice, NoticeTone tone = NoticeTone::information);
    void resumeWhere(const std::function<bool(const DownloadItem &)> &chosen);
    // The ids of the chosen items, newest first.
    QList<QUuid> idsWhere(const std::function<bool(const DownloadItem &)> &chosen) const;
    void insertItem(DownloadItem item);
    void insertBatch(std::vector<DownloadItem> batch);
    void removeItemsWhere(const std::function<bool(const DownloadItem &)> &predicate);
    void counted(DownloadState state, int delta) { m_stateCounts[static_cast<size_t>(state)] += delta; }
    qsizetype indexOf(const QUuid &id) const;
    int rowOf(qsizetype index) const { return static_cast<int>(m_items.size() - 1 - index); }
    void rebuildIndex();
    void interrupt(const QUuid &id);
    // Removes the working files of items that leave the queue unfinished.
    void forgetWorkingFiles(const QList<DownloadItem> &removed);
    void loadHistory();
    // After a failure: when to try again by itself, if at all.
    void scheduleRetry(DownloadItem &item, const std::optional<WorkerFailure> &failure);
    void watchRetries();
    // What a yt-dlp run is given besides its item.
    YtDlpOptions ytDlpOptions(const QString &cookiesCopy) const;
    // A private copy of the cookies file for one run: empty when none is
    // chosen, nothing when it cannot be read.
    std::optional<QString> copyCookies(const QUuid &run) const;
    // The share of the speed limit a download starting now gets; none: no limit.
    std::optional<qint64> rateShare() const;
    void listPlaylist(const DownloadItem &item);
    void recordInArchive(const QString &key);
    void ytDlpAdvised(const QString &advice, bool offerUpdate);

    // Oldest first, so new items append and the scheduler's search is a forward walk.
    std::vector<DownloadItem> m_items;
    // Each item as the history holds it, beside it: its text, empty when it
    // changed since it was last encoded, and a revision no other state of
    // any item has, to tell a text made of this state from one made before.
    struct EncodedItem {
        QByteArray text;
        quint64 revision = 0;
    };
    std::vector<EncodedItem> m_encoded;
    quint64 m_revisions = 0;
    void markChanged(size_t index) { m_encoded[index] = EncodedItem{QByteArray(), ++m_revisions}; }
    std::array<int, allDownloadStates.size()> m_stateCounts{};
    QHash<QUuid, qsizetype> m_index;
    std::unique_ptr<DownloadListModel> m_model;

    QString m_folder;
    int m_concurrency = 3;
    QString m_quality = QStringLiteral("Best available");
    QString m_browser = QStringLiteral("None");
    QString m_notice;
    SleepInhibitor *m_sleepInhibitor = nullptr;
    NoticeTone m_noticeTone = NoticeTone::information;
    QString m_notificationStatus;
    bool m_notificationsEnabled = true;
    bool m_isClosing = false;
    bool m_retriesAutomatically = true;
    bool m_continuesOnStart = false;
    Clock m_systemClock;
    Clock *m_clock = &m_systemClock;
    // Failed items waiting to try again; the timer counts down while there are any.
    QSet<QUuid> m_waiting;
    QTimer m_retryTimer;
    std::optional<MegaFolderRequest> m_folderRequest;
    QStringList m_pendingFolderLinks;
    // The notice that asked to choose from folders, and what it said before that part.
    QString m_folderNotice;
    QString m_noticeBeforeFolders;

    QHash<QUuid, Worker *> m_workers;
    // Serving workers between files of folders, and those released and ending.
    QList<Worker *> m_spareWorkers;
    QTimer m_spareTimer;
    QSet<QUuid> m_pendingResume;
    // Files reported by workers whose item was paused meanwhile.
    QHash<QUuid, QString> m_finishedFiles;
    // What each running worker said besides its item's fields.
    QHash<QUuid, RunNotes> m_runNotes;
    // Items added in this run that no worker has started: nothing of theirs can be on disk yet.
    QSet<QUuid> m_neverStarted;
    // Removed items whose worker still runs: their working files go when it ends.
    QHash<QUuid, DownloadItem> m_removedWhileRunning;

    QTimer m_saveTimer;
    QTimer m_progressSaveTimer;
    QDeadlineTimer m_saveDeadline;
    QDeadlineTimer m_latestSave;
    int m_saveDelayMs = 400;
    int m_maxSaveDelayMs = 5000;
    int m_stopGraceMs = 5000;
    // Scheduled writes encode and write a copy of the list on one background
    // thread, in order; a long history would otherwise hold up the window.
    std::unique_ptr<HistoryFile> m_history;

    QString m_support;
    WorkerTools m_tools;
    bool m_ytDlpChecked = false;
    // The release of the yt-dlp in use, once asked.
    std::optional<QDate> m_ytDlpRelease;
    bool m_offersYtDlpUpdate = false;
    QPointer<QObject> m_ytDlpUpdate;
    qint64 m_speedLimit = 0;
    QList<PlaylistListing> m_playlistRequests;
    // Listings under way, by the link listed.
    QHash<QString, QPointer<HelperRun>> m_listings;
    // Per-run copies of the cookies file, by item: yt-dlp writes back into the file it is given.
    QHash<QUuid, QString> m_cookieCopies;
    QSettings *m_settings = nullptr;
    std::unique_ptr<QSettings> m_ownedSettings;
    CompletionNotifier *m_notifier = nullptr;
};
