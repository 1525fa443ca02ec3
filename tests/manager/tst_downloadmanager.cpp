#include "app/manager/ChildProcess.h"
#include "app/manager/CompletionNotifier.h"
#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "app/manager/HistoryFile.h"
#include "app/manager/YtDlpCommand.h"
#include "app/records/FailureWords.h"
#include "tests/support/MovedClock.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

namespace {

const QString waitingDetail = "Waiting for a download slot";
const QString pausedDetail = "Paused \u2022 partial file kept for resume";
const QString fileKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
// What a fake worker does waits on its start, which on a machine whose cores are all taken can pass 5 s.
constexpr int workerStartMs = 60000;

class RecordingNotifier : public CompletionNotifier {
public:
    void configure(bool enabled, std::function<void(const QString &)> status) override
    {
        configured.append(enabled);
        status(enabled ? "on" : "off");
    }
    void completed(const DownloadItem &item) override { completedIDs.append(item.id); }

    QList<bool> configured;
    QList<QUuid> completedIDs;
};

enum Tool { ytDlp = 1, ffmpeg = 2, megaTool = 4, deno = 8 };

// A manager over a private storage directory, settings file and tool
// directory in which the fake worker stands in for the chosen programs.
struct Fixture {
    explicit Fixture(int tools = ytDlp | ffmpeg | megaTool, int saveDelayMs = 400)
    {
        QDir(dir.path()).mkpath("tools");
        QDir(dir.path()).mkpath("record");
        const QString script = QFINDTESTDATA("fake-worker.sh");
        const QList<std::pair<int, QString>> names{
            {ytDlp, "yt-dlp"}, {ffmpeg, "ffmpeg"}, {megaTool, "lark-mega"}, {deno, "deno"}};
        for (const auto &[flag, name] : names) {
            if (tools & flag)
                QFile::copy(script, toolDirectory() + "/" + name);
        }
        qputenv("FAKE_WORKER_DIR", recordDirectory().toUtf8());
        settings = std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat);
        this->saveDelayMs = saveDelayMs;
    }

    DownloadManager &create()
    {
        DownloadManager::Options options;
        options.storageDirectory = dir.filePath("storage");
        options.settings = settings.get();
        options.toolDirectory = toolDirectory();
        options.searchDirectories = QStringList{toolDirectory()};
        options.saveDelayMs = saveDelayMs;
        options.maxSaveDelayMs = maxSaveDelayMs;
        options.progressSaveDelayMs = progressSaveDelayMs;
        options.stopGraceMs = stopGraceMs;
        options.clock = &clock;
        manager.reset();
        manager = std::make_unique<DownloadManager>(options);
        manager->setNotifier(&notifier);
        manager->setFolder(dir.filePath("downloads"));
        tester = std::make_unique<QAbstractItemModelTester>(manager->model(),
                                                            QAbstractItemModelTester::FailureReportingMode::QtTest);
        return *manager;
    }

    QString toolDirectory() const { return dir.filePath("tools"); }
    // Replaces a tool by one that cannot be started: its interpreter does not exist.
    bool breakTool(const QString &name) const
    {
        QFile broken(toolDirectory() + "/" + name);
        broken.remove();
        if (!broken.open(QIODevice::WriteOnly) || broken.write("#!/nonexistent/interpreter\n") < 0)
            return false;
        broken.close();
        return broken.setPermissions(broken.permissions() | QFile::ExeOwner);
    }
    QString recordDirectory() const { return dir.filePath("record"); }
    QStringList recorded(const QString &name, const char *kind = "args") const
    {
        QFile file(recordDirectory() + "/" + name + "." + kind);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    void release(const QString &name, int status)
    {
        QFile file(recordDirectory() + "/" + name + ".go");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(status));
    }
    QJsonArray history() const
    {
        QFile file(manager->storagePath());
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).array() : QJsonArray();
    }
    const DownloadItem &byTitle(const QString &urlEnd) const
    {
        for (int row = 0; row < manager->count(); ++row) {
            if (manager->itemAt(row).url.endsWith(urlEnd))
                return manager->itemAt(row);
        }
        qFatal("no item for %s", qPrintable(urlEnd));
    }

    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    RecordingNotifier notifier;
    std::unique_ptr<DownloadManager> manager;
    std::unique_ptr<QAbstractItemModelTester> tester;
    int saveDelayMs = 400;
    int maxSaveDelayMs = 5000;
    int progressSaveDelayMs = 60000;
    int stopGraceMs = 5000;
    MovedClock clock;
};

DownloadState stateOf(const DownloadManager &manager, const QString &urlEnd)
{
    for (const DownloadItem &item : manager.items()) {
        if (item.url.endsWith(urlEnd))
            return item.state;
    }
    return DownloadState::failed;
}

QString link(const QString &name)
{
    return "https://example.com/v/" + name;
}

} // namespace

class TestDownloadManager : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void addingLinks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("items");
        QTest::addColumn<QString>("notice");
        // clang-format off
        QTest::newRow("one link") << link("hold1") << true << 1 << "Added 1 download";
        QTest::newRow("one invalid") << link("hold1") + " nonsense " + link("hold2") << true << 2 << "Added 2 downloads \u2022 1 invalid link(s) skipped";
        QTest::newRow("same link twice") << link("hold1") + "\n" + link("hold1") << true << 1 << "Added 1 download";
        QTest::newRow("nothing usable") << "just words" << false << 0 << "Paste a complete http:// or https:// video link.";
        QTest::newRow("options are not links") << "--exec=touch -o/tmp/x " + link("hold1") << true << 1 << "Added 1 download \u2022 2 invalid link(s) skipped";
        QTest::newRow("only options") << "-f --batch-file=/etc/passwd" << false << 0 << "Paste a complete http:// or https:// video link.";
        QTest::newRow("two folders") << "https://mega.nz/folder/AAAAAAAA#k https://mega.nz/folder/BBBBBBBB#k" << true << 0 << "Choose files from 2 MEGA folders";
        QTest::newRow("folder and video") << link("hold1") + " https://mega.nz/folder/AAAAAAAA#k" << true << 1 << "Added 1 download \u2022 Choose files from 1 MEGA folder";
        QTest::newRow("folder hides invalid count") << "bad https://mega.nz/folder/AAAAAAAA#k" << true << 0 << "Choose files from 1 MEGA folder";
        // clang-format on
    }
    void addingLinks()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(int, items);
        QFETCH(QString, notice);
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        QCOMPARE(manager.add(text), accepted);
        QCOMPARE(manager.count(), items);
        QCOMPARE(manager.notice(), notice);
        if (items > 0) {
            const DownloadItem &first = manager.itemAt(items - 1);
            QCOMPARE(first.title, "example.com");
            QCOMPARE(first.folder, fixture.dir.filePath("downloads"));
            QCOMPARE(first.quality, "Best available");
            QCOMPARE(first.browser, "None");
        }
        for (const DownloadItem &item : manager.items())
            fixture.release(item.url.section('/', -1), 0);
    }

    void aPastedListReadsTopDownAndRunsFromTheTop()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(2);
        QVERIFY(manager.add(link("hold1")));
        QVERIFY(manager.add(link("hold2") + " " + link("hold3") + " " + link("hold4") + " " + link("hold5")));
        // The newest list on top, in the order it was pasted; what runs is at the top.
        QCOMPARE(manager.itemAt(0).url, link("hold2"));
        QCOMPARE(manager.itemAt(3).url, link("hold5"));
        QCOMPARE(manager.itemAt(4).url, link("hold1"));
        QCOMPARE(manager.active(), 2);
        QCOMPARE(manager.waiting(), 3);
        QCOMPARE(stateOf(manager, "hold1"), DownloadState::downloading);
        QCOMPARE(stateOf(manager, "hold2"), DownloadState::downloading);
        QCOMPARE(manager.itemAt(4).detail, "Connecting\u2026");
        QTRY_VERIFY(!fixture.recorded("hold1").isEmpty());

        fixture.release("hold1", 0);
        QTRY_COMPARE(stateOf(manager, "hold1"), DownloadState::completed);
        QCOMPARE(stateOf(manager, "hold3"), DownloadState::downloading);
        QCOMPARE(stateOf(manager, "hold4"), DownloadState::queued);
        QCOMPARE(fixture.notifier.completedIDs.size(), 1);

        // Raising the limit starts more at once; lowering it stops nothing.
        manager.setConcurrency(4);
        QCOMPARE(manager.active(), 4);
        manager.setConcurrency(1);
        QCOMPARE(manager.active(), 4);
        QCOMPARE(fixture.settings->value("concurrency").toInt(), 1);
        for (const char *name : {"hold2", "hold3", "hold4", "hold5"})
            fixture.release(name, 0);
        QTRY_COMPARE(manager.finished(), 5);
        QCOMPARE(manager.workerCount(), 0);
    }

    void duplicatesOfActiveItemsAreSkipped()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(1);
        manager.add(link("ok1") + " " + link("hold1"));
        QTRY_COMPARE(stateOf(manager, "ok1"), DownloadState::completed);
        manager.pause(fixture.byTitle("hold1").id);
        QVERIFY(manager.add(link("hold1")));
        QCOMPARE(manager.notice(), "Added 0 downloads");
        QVERIFY(manager.add(link("ok1")));
        QCOMPARE(manager.count(), 3);
        fixture.release("hold1", 0);
    }

    void workerOutputReachesTheItem()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        QSignalSpy rows(manager.model(), &QAbstractItemModel::dataChanged);
        QSignalSpy resets(manager.model(), &QAbstractItemModel::modelReset);
        manager.add(link("ok1"));
        QTRY_COMPARE(stateOf(manager, "ok1"), DownloadState::completed);
        const DownloadItem &item = manager.itemAt(0);
        QCOMPARE(item.title, "Title ok1");
        QCOMPARE(item.file, fixture.dir.filePath("downloads/ok1.mp4"));
        QCOMPARE(item.progress, 100.0);
        // The size of the file saved, whatever the worker guessed on the way.
        QCOMPARE(item.bytesTotal, QFileInfo(*item.file).size());
        QCOMPARE(item.speedText(), "\u2014");
        QCOMPARE(item.detail, "Saved to your computer");
        QVERIFY(rows.size() >= 4);
        for (const auto &arguments : rows)
            QCOMPARE(arguments[0].toModelIndex().row(), 0);
        QCOMPARE(resets.size(), 0);
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("detail");
        // clang-format off
        QTest::newRow("error line kept") << "fail1" << "ERROR: boom for fail1";
        QTest::newRow("plain failure") << "exit1" << "Download stopped (1). Check the link, connection, or browser sign-in, then retry.";
        QTest::newRow("other status") << "exit42" << "Download stopped (42). Check the link, connection, or browser sign-in, then retry.";
        QTest::newRow("ended by a signal") << "signal1" << "Download stopped (15). Check the link, connection, or browser sign-in, then retry.";
        // clang-format on
    }
    void exitStatuses()
    {
        QFETCH(QString, name);
        QFETCH(QString, detail);
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link(name));
        QTRY_COMPARE(stateOf(manager, name), DownloadState::failed);
        QCOMPARE(manager.itemAt(0).detail, detail);
        QCOMPARE(fixture.notifier.completedIDs.size(), 0);
        QCOMPARE(manager.workerCount(), 0);
    }

    void startFailures_data()
    {
        QTest::addColumn<int>("tools");
        QTest::addColumn<QString>("quality");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("detailStart");
        // clang-format off
        QTest::newRow("folder not creatable") << int(ytDlp | ffmpeg) << "Best available" << "/dev/null/sub" << "Cannot write to folder: Not a directory";
        QTest::newRow("engine missing") << int(ffmpeg) << "Best available" << "" << "yt-dlp engine is missing. Rebuild or reinstall Lark.";
        QTest::newRow("MP3 without FFmpeg") << int(ytDlp) << "Audio \u2022 MP3" << "" << "MP3 requires FFmpeg. Choose a video quality or install FFmpeg.";
        // clang-format on
    }
    void startFailures()
    {
        QFETCH(int, tools);
        QFETCH(QString, quality);
        QFETCH(QString, folder);
        QFETCH(QString, detailStart);
        Fixture fixture(tools);
        DownloadManager &manager = fixture.create();
        if (!folder.isEmpty())
            manager.setFolder(folder);
        manager.setQuality(quality);
        manager.setConcurrency(1);
        manager.add(link("ok1") + " " + link("ok2"));
        // Neither could start; no slot was taken, so the scheduler went on to the next.
        QCOMPARE(stateOf(manager, "ok1"), DownloadState::failed);
        QCOMPARE(stateOf(manager, "ok2"), DownloadState::failed);
        QVERIFY2(manager.itemAt(0).detail.startsWith(detailStart), qPrintable(manager.itemAt(0).detail));
        QCOMPARE(manager.workerCount(), 0);
    }

    void launchFailure()
    {
        Fixture fixture(ytDlp | ffmpeg);
        QVERIFY(fixture.breakTool("yt-dlp"));
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(1);
        manager.add(link("ok1") + " " + link("ok2"));
        QTRY_COMPARE(stateOf(manager, "ok2"), DownloadState::failed);
        QVERIFY(!manager.itemAt(0).detail.isEmpty());
        QCOMPARE(manager.workerCount(), 0);
    }

    void missingMegaToolFailsTheLaunch()
    {
        Fixture fixture(ytDlp);
        DownloadManager &manager = fixture.create();
        manager.add("https://mega.nz/file/AbCdEfGh#key");
        QTRY_COMPARE(manager.itemAt(0).state, DownloadState::failed);
        QVERIFY2(manager.itemAt(0).detail.contains("No such file"), qPrintable(manager.itemAt(0).detail));
    }

    void ytDlpArgumentsAndEnvironment_data()
    {
        QTest::addColumn<QString>("version"); // what yt-dlp --version says; empty: not asked
        QTest::addColumn<bool>("runtimes");
        QTest::newRow("version not known yet") << "" << false;
        QTest::newRow("before --js-runtimes") << "2023.03.04" << false;
        QTest::newRow("with --js-runtimes") << "2025.11.12" << true;
    }
    void ytDlpArgumentsAndEnvironment()
    {
        QFETCH(QString, version);
        QFETCH(bool, runtimes);
        Fixture fixture(ytDlp | ffmpeg | deno);
        DownloadManager &manager = fixture.create();
        if (!version.isEmpty()) {
            qputenv("FAKE_YTDLP_VERSION", version.toUtf8());
            QSignalSpy noticed(&manager, &DownloadManager::noticeChanged);
            manager.checkYtDlp();
            QTRY_VERIFY(!noticed.isEmpty()); // an old release is told
            qunsetenv("FAKE_YTDLP_VERSION");
        }
        manager.setQuality("1080p");
        manager.setBrowser("Chromium");
        manager.add(link("ok1"));
        QTRY_COMPARE(stateOf(manager, "ok1"), DownloadState::completed);
        const DownloadItem &item = manager.itemAt(0);
        const QString tools = fixture.toolDirectory();
        QStringList expected{"--ignore-config", "--socket-timeout", "30"};
        if (runtimes)
            expected << "--js-runtimes"
                     << "deno:" + tools + "/deno";
        expected << "--ffmpeg-location" << tools + "/ffmpeg"
                 << "--newline"
                 << "--no-colors"
                 << "--continue"
                 << "--no-overwrites"
                 << "--no-simulate"
                 << "--progress"
                 << "--retries"
                 << "5"
                 << "--fragment-retries"
                 << "5"
                 << "--abort-on-unavailable-fragments"
                 << "--no-playlist"
                 << "--flat-playlist"
                 << "--match-filter"
                 << "n_entries <? 2"
                 << "--print"
                 << "playlist:LARK_ENTRIES|%(playlist_count)s"
                 << "--print"
                 << "before_dl:LARK_TITLE|%(title)j"
                 << "--print"
                 << "after_move:LARK_FILE|%(filepath)j"
                 << "--print"
                 << "before_dl:LARK_STREAMS|%(format_id)j|%(filesize,filesize_approx)s"
                 << "--print"
                 << "before_dl:LARK_HEIGHT|%(height)s"
                 << "--progress-template"
                 << "download:LARK_PROGRESS|%(progress._percent_str)s|%(progress._speed_str)s|%("
                    "progress._eta_str)s|%(progress._total_bytes_str)s|%(progress.downloaded_bytes)s|%("
                    "progress.total_bytes,progress.total_bytes_estimate)s|%(progress.speed)s|%(progress."
                    "eta)s|%(info.format_id)s"
                 << "--parse-metadata"
                 << "title:(?s)(?P<lark_name>.+)"
                 << "--parse-metadata"
                 << "id:(?s)(?P<lark_id>.+)"
                 << "--replace-in-metadata"
                 << "lark_name,lark_id"
                 << "[\"*:<>?|/\\\\]"
                 << "-"
                 << "--replace-in-metadata"
                 << "lark_name,lark_id"
                 << "[\\u202a-\\u202e\\u2066-\\u2069]"
                 << ""
                 << "-P" << item.folder << "-o"
                 << "%(lark_name).140B [%(lark_id).24B] [" + item.jobID().left(8) + "].%(ext)s"
                 << "-f"
                 << "bv*[height<=1080]+ba/b[height<=1080]/best"
                 << "--merge-output-format"
                 << "mp4/mkv"
                 << "--remux-video"
                 << "mp4>mp4/mkv"
                 << "--embed-metadata"
                 << "--embed-chapters"
                 << "--embed-thumbnail"
                 << "--cookies-from-browser"
                 << "chromium"
                 << "--" << link("ok1");
        // An empty argument is no line of the record.
        expected.removeAll(QString());
        QCOMPARE(fixture.recorded("ok1"), expected);
        const QStringList environment = fixture.recorded("ok1", "env");
        QVERIFY(environment.contains("PATH=" + tools + ":/bin"));
        QVERIFY(environment.contains("PYTHONUNBUFFERED=1"));
        QVERIFY(QDir(item.folder).exists());
    }

    void linksReachWorkersAsSingleArguments()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        const QString link = "https://example.com/v/ok;$(touch$HOME)&x='1'";
        QVERIFY(manager.add(link));
        QTRY_COMPARE(manager.itemAt(0).state, DownloadState::completed);
        const QStringList arguments = fixture.recorded("ok;$(touch$HOME)&x='1'");
        // Unexpanded: no shell stood between the manager and the worker.
        QCOMPARE(arguments.mid(arguments.size() - 2), QStringList({"--", link}));
    }

    void formats_data()
    {
        QTest::addColumn<QString>("quality");
        QTest::addColumn<bool>("ffmpeg");
        QTest::addColumn<QString>("format");
        // clang-format off
        QTest::newRow("best with") << "Best available" << true << "bv*+ba/b/best";
        QTest::newRow("1080 with") << "1080p" << true << "bv*[height<=1080]+ba/b[height<=1080]/best";
        QTest::newRow("720 with") << "720p" << true << "bv*[height<=720]+ba/b[height<=720]/best";
        QTest::newRow("2160 with") << "2160p" << true << "bv*[height<=2160]+ba/b[height<=2160]/best";
        QTest::newRow("1440 with") << "1440p" << true << "bv*[height<=1440]+ba/b[height<=1440]/best";
        QTest::newRow("480 without") << "480p" << false << "best[height<=480]/best";
        QTest::newRow("best without") << "Best available" << false << "best/best";
        QTest::newRow("1080 without") << "1080p" << false << "best[height<=1080]/best";
        QTest::newRow("720 without") << "720p" << false << "best[height<=720]/best";
        QTest::newRow("unknown") << "4K" << true << "bv*+ba/b/best";
        // clang-format on
    }
    void formats()
    {
        QFETCH(QString, quality);
        QFETCH(bool, ffmpeg);
        QFETCH(QString, format);
        QCOMPARE(ytDlpFormat(quality, ffmpeg), format);
    }

    void audioAndChoiceArguments_data()
    {
        QTest::addColumn<QString>("quality");
        QTest::addColumn<QString>("format"); // chosen for the item alone
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("tail"); // from -f on
        const QStringList tags{"--embed-metadata", "--embed-chapters", "--embed-thumbnail"};
        // clang-format off
        QTest::newRow("MP3") << audioQuality << "" << QStringList{}
            << QStringList{"-f", "bestaudio/best", "-x", "--audio-format", "mp3"} + tags;
        QTest::newRow("M4A as it comes") << "Audio \u2022 M4A" << "" << QStringList{}
            << QStringList{"-f", "ba[ext=m4a]/ba/b", "-x", "--audio-format", "m4a"} + tags;
        QTest::newRow("Opus as it comes, no subtitles for sound") << "Audio \u2022 Opus" << "" << QStringList{"subtitles"}
            << QStringList{"-f", "ba[acodec=opus]/ba/b", "-x", "--audio-format", "opus"} + tags;
        QTest::newRow("a chosen format, subtitles and a limit") << "Format 137" << "137+bestaudio/137"
            << QStringList{"subtitles", "automatic", "limit", "cookies"}
            << QStringList{"-f", "137+bestaudio/137", "--merge-output-format", "mp4/mkv", "--remux-video",
                           "mp4>mp4/mkv", "--write-auto-subs", "--sub-langs", "de(-.*)?,pt\\-BR(-.*)?",
                           "--embed-subs"} + tags + QStringList{"--limit-rate", "524288", "--cookies", "/run/c.txt"};
        // clang-format on
    }
    void audioAndChoiceArguments()
    {
        QFETCH(QString, quality);
        QFETCH(QString, format);
        QFETCH(QStringList, options);
        QFETCH(QStringList, tail);
        DownloadItem item(link("a"), "t", "/tmp", quality, "None");
        item.format = format;
        YtDlpOptions given;
        given.ffmpeg = "/usr/bin/ffmpeg";
        if (options.contains("subtitles"))
            given.subtitleLanguages = subtitleLanguageList("de, pt-BR; de x_y 12");
        given.automaticSubtitles = options.contains("automatic");
        if (options.contains("limit"))
            given.rateLimit = 524288;
        if (options.contains("cookies"))
            given.cookiesFile = "/run/c.txt";
        const QStringList arguments = ytDlpArguments(item, given);
        const QStringList expected = tail + QStringList{"--", link("a")};
        QCOMPARE(arguments.mid(arguments.indexOf("-f")), expected);
        QVERIFY(!arguments.contains("--js-runtimes") && !arguments.contains("--cookies-from-browser"));
    }

    // The limit is shared by what starts together; MEGA takes its share through the environment.
    void aSpeedLimitIsSharedByWhatRuns()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(3);
        manager.setSpeedLimit(3 * 1048576);
        manager.add(link("wait-a") + " " + link("wait-b") + " https://mega.nz/file/waitMEGA#key");
        QTRY_COMPARE_WITH_TIMEOUT(manager.active(), 3, workerStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.recorded("waitMEGA#key", "env").contains("LARK_MEGA_RATE_LIMIT=1048576"),
                                 workerStartMs);
        for (const char *name : {"wait-a", "wait-b"}) {
            // A worker writes down its arguments as it starts: they are read again until whole.
            const auto limit = [&] {
                const QStringList arguments = fixture.recorded(name);
                return arguments.value(arguments.indexOf("--limit-rate") + 1);
            };
            QTRY_COMPARE_WITH_TIMEOUT(limit(), QString("1048576"), workerStartMs);
        }
        // Alone, a download takes the whole limit; without one, nothing is said.
        manager.pauseAll();
        QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, workerStartMs);
        manager.resume(manager.itemAt(0).id);
        QTRY_COMPARE_WITH_TIMEOUT(manager.active(), 1, workerStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.recorded("wait-a").contains("3145728"), workerStartMs);
        manager.pauseAll();
        QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, workerStartMs);
        manager.setSpeedLimit(0);
        manager.resume(manager.itemAt(0).id);
        QTRY_VERIFY_WITH_TIMEOUT(!fixture.recorded("wait-a").isEmpty() &&
                                     !fixture.recorded("wait-a").contains("--limit-rate"),
                                 workerStartMs);
    }

    // A listing that never ends is cut at its bound and offers nothing, rather than a part of the list.
    void anEndlessListingIsRefused()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link("listendless"));
        QTRY_VERIFY_WITH_TIMEOUT(manager.notice().startsWith("The videos of"), 60000);
        QCOMPARE(manager.notice(), "The videos of " + link("listendless") +
                                       " could not be listed: The answer was larger than 64 MiB, so it was not read.");
        QCOMPARE(manager.noticeTone(), DownloadManager::NoticeTone::failure);
        QCOMPARE(manager.playlistRequest(), nullptr);
        QCOMPARE(manager.count(), 0);
    }

    void megaWorkerArguments()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add("https://mega.nz/file/okMEGAAA#key");
        QTRY_COMPARE(manager.itemAt(0).state, DownloadState::completed);
        // The link and its key come on standard input, out of sight of other users.
        QCOMPARE(fixture.recorded("okMEGAAA#key"),
                 QStringList({"-", manager.itemAt(0).folder, manager.itemAt(0).jobID()}));
        QCOMPARE(fixture.recorded("okMEGAAA#key", "stdin"), QStringList{"https://mega.nz/file/okMEGAAA#key"});

        // Under a speed limit, which each run is given for itself, a file of a folder has a run of its own.
        manager.setSpeedLimit(1048576);
        MegaFolderListing listing;
        listing.sourceURL = "https://mega.nz/folder/AbCdEfGh#bqYT8Zdz0BGhr4DVR5LW4w";
        listing.shareHandle = "AbCdEfGh";
        manager.addMegaFiles(
            {{"0aB1cD2e", "root", "clip.mp4", false, 1500000, *MegaFileKey::fromText(fileKey.toUtf8())}}, listing);
        QTRY_COMPARE(manager.itemAt(0).state, DownloadState::completed);
        const DownloadItem &item = manager.itemAt(0);
        QCOMPARE(fixture.recorded("folder-" + item.jobID()), QStringList({"--folder-file", item.folder, item.jobID()}));
        const QByteArray input = fixture.recorded("folder-" + item.jobID(), "stdin").join('\n').toUtf8();
        QCOMPARE(MegaNodeDownload::fromJsonText(input), item.megaNode);
    }

    // Files of folders go one after another through a run of the tool that
    // stays while more come: each ends on its own line, a failure is its
    // file's alone, a pause ends the run, and a run left idle ends by itself.
    void megaFolderFilesShareARun()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(1);
        MegaFolderListing listing;
        listing.sourceURL = "https://mega.nz/folder/AbCdEfGh#bqYT8Zdz0BGhr4DVR5LW4w";
        listing.shareHandle = "AbCdEfGh";
        const auto file = [](const char *id, const char *name) {
            return MegaFolderNode{id, "root", name, false, 1000, *MegaFileKey::fromText(fileKey.toUtf8())};
        };
        manager.addMegaFiles(
            {file("0aB1cD2e", "ok-a.jpg"), file("1aB1cD2e", "fail-b.jpg"), file("2aB1cD2e", "ok-c.jpg")}, listing);
        QTRY_COMPARE_WITH_TIMEOUT(manager.finished() + manager.count(DownloadState::failed), 3, workerStartMs);
        QCOMPARE(fixture.recorded("serving", "pids").size(), 1);
        for (int row = 0; row < 3; ++row) {
            const DownloadItem &item = manager.itemAt(row);
            const bool fails = item.title.startsWith("fail");
            QCOMPARE(item.state, fails ? DownloadState::failed : DownloadState::completed);
            QCOMPARE(item.detail, fails ? "ERROR: boom for fail-b.jpg" : "Saved to your computer");
            const QJsonObject job =
                QJsonDocument::fromJson(fixture.recorded("folder-" + item.jobID(), "stdin").join('\n').toUtf8())
                    .object();
            QCOMPARE(job["folder"].toString(), item.folder);
            QCOMPARE(MegaNodeDownload::fromJson(job["node"].toObject()), item.megaNode);
        }
        QCOMPARE(manager.workerCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(QDir(fixture.recordDirectory()).entryList({"serving-*.ended"}).size(), 1,
                                  workerStartMs);

        manager.addMegaFiles({file("3aB1cD2e", "wait-d.jpg"), file("4aB1cD2e", "ok-e.jpg")}, listing);
        const QUuid waiting = fixture.byTitle("3aB1cD2e").id;
        QTRY_COMPARE_WITH_TIMEOUT(manager.item(waiting)->title, "waiting", workerStartMs);
        manager.pause(waiting);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.byTitle("4aB1cD2e").state, DownloadState::completed, workerStartMs);
        QCOMPARE(manager.item(waiting)->state, DownloadState::paused);
        QCOMPARE(fixture.recorded("serving", "pids").size(), 3);
    }

    void pausingAndResuming()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(1);
        manager.add(link("wait1") + " " + link("hold2"));
        const QUuid id = fixture.byTitle("wait1").id;
        QTRY_COMPARE(manager.itemAt(0).title, "waiting");

        manager.pause(id);
        QCOMPARE(manager.item(id)->state, DownloadState::paused);
        QCOMPARE(manager.item(id)->detail, pausedDetail);
        // The worker ends on SIGINT; the item stays paused and the slot goes to the next one.
        QTRY_COMPARE(stateOf(manager, "hold2"), DownloadState::downloading);
        QCOMPARE(manager.item(id)->state, DownloadState::paused);
        QCOMPARE(manager.item(id)->speedText(), "\u2014");

        manager.resume(id);
        QCOMPARE(manager.item(id)->state, DownloadState::queued);
        QCOMPARE(manager.item(id)->detail, waitingDetail);
        fixture.release("hold2", 0);
        QTRY_COMPARE(manager.item(id)->state, DownloadState::downloading);
        manager.pause(id);
        // A worker asked to stop just as it starts may need the grace period and SIGTERM: as long as a busy machine
        // takes.
        QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, 120000);

        // Pausing a queued item involves no process.
        manager.add(link("hold3"));
        manager.setConcurrency(0);
        manager.add(link("hold4"));
        const QUuid queued = fixture.byTitle("hold4").id;
        QCOMPARE(manager.item(queued)->state, DownloadState::queued);
        manager.pause(queued);
        QCOMPARE(manager.item(queued)->state, DownloadState::paused);
        QVERIFY(fixture.recorded("hold4").isEmpty());
        fixture.release("hold3", 0);
    }

    void resumeBeforeTheOldWorkerExits()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link("hold1"));
        const QUuid id = manager.itemAt(0).id;
        QTRY_COMPARE(manager.itemAt(0).title, "holding");
        manager.pause(id);
        manager.resume(id);
        QCOMPARE(manager.item(id)->state, DownloadState::paused);
        QTRY_COMPARE(fixture.recorded("hold1", "signals"), QStringList{"INT"});
        QFile::remove(fixture.recordDirectory() + "/hold1.args");
        fixture.release("hold1", 130);
        // The exit re-queues it and it starts again with the same id and folder.
        QTRY_VERIFY(!fixture.recorded("hold1").isEmpty());
        QCOMPARE(manager.item(id)->state, DownloadState::downloading);
        QCOMPARE(manager.count(), 1);
    }

    void pauseResumePauseStaysPaused()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link("hold1"));
        const QUuid id = manager.itemAt(0).id;
        QTRY_COMPARE(manager.itemAt(0).title, "holding");
        manager.pause(id);
        manager.resume(id);
        manager.pause(id);
        fixture.release("hold1", 130);
        QTRY_COMPARE(manager.workerCount(), 0);
        QCOMPARE(manager.item(id)->state, DownloadState::paused);
        QCOMPARE(fixture.notifier.completedIDs.size(), 0);
    }

    void aWorkerThatWillNotStopIsEnded_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("signal");
        QTest::newRow("ignores SIGINT") << "stubborn1" << SIGTERM;
        QTest::newRow("ignores SIGINT and SIGTERM") << "deaf1" << SIGKILL;
    }
    void aWorkerThatWillNotStopIsEnded()
    {
        QFETCH(QString, name);
        QFETCH(int, signal);
        Fixture fixture;
        fixture.stopGraceMs = 200;
        DownloadManager &manager = fixture.create();
        manager.add(link(name));
        const QUuid id = manager.itemAt(0).id;
        QTRY_COMPARE(manager.itemAt(0).title, "waiting");
        manager.pause(id);
        QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, 120000);
        // What the user asked for, not what the signal did.
        QCOMPARE(manager.item(id)->state, DownloadState::paused);
        QCOMPARE(manager.item(id)->detail, pausedDetail);
        Q_UNUSED(signal);

        // Removal stops it the same way.
        manager.add(link(name + "b"));
        QTRY_COMPARE(manager.workerCount(), 1);
        manager.remove(manager.itemAt(0).id);
        QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, 120000);
        QCOMPARE(manager.count(), 1);
    }

    void aWorkerThatFinishedDespiteThePauseCompletes()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link("finish1"));
        const QUuid id = manager.itemAt(0).id;
        QTRY_COMPARE(manager.itemAt(0).title, "waiting");
        manager.pause(id);
        manager.resume(id); // asked while the worker was still on its way out
        QTRY_COMPARE(manager.workerCount(), 0);
        QCOMPARE(manager.item(id)->state, DownloadState::completed);
        QCOMPARE(manager.item(id)->detail, "Saved to your computer");
        QCOMPARE(manager.item(id)->progress, 100.0);
        QCOMPARE(fixture.notifier.completedIDs, QList<QUuid>{id});
        // Not queued again by the resume that came in between.
        QTest::qWait(100);
        QCOMPARE(manager.item(id)->state, DownloadState::completed);
    }

    void aQueuedItemWhoseOldWorkerRunsIsSkipped()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(2);
        manager.add(link("hold1"));
        const QUuid id = manager.itemAt(0).id;
        QTRY_COMPARE(manager.itemAt(0).title, "holding");
        manager.pause(id);
        QTRY_COMPARE(fixture.recorded("hold1", "signals"), QStringList{"INT"});
        // Queued again while its worker still runs: a second worker would share its partial file.
        manager.resumeAll();
        QCOMPARE(manager.item(id)->state, DownloadState::queued);
        manager.pump();
        QCOMPARE(manager.workerCount(), 1);
        QFile::remove(fixture.recordDirectory() + "/hold1.args");
        QTest::qWait(200);
        QVERIFY(fixture.recorded("hold1").isEmpty());
        fixture.release("hold1", 130);
        // Once the old one has gone, the item starts again.
        QTRY_VERIFY(!fixture.recorded("hold1").isEmpty());
        QCOMPARE(manager.item(id)->state, DownloadState::downloading);
    }

    void aFailedLaunchLeavesNoResumeBehind()
    {
        Fixture fixture(ytDlp | ffmpeg);
        QVERIFY(fixture.breakTool("yt-dlp"));
        const QString script = QFINDTESTDATA("fake-worker.sh");
        const QString broken = fixture.toolDirectory() + "/yt-dlp";
        DownloadManager &manager = fixture.create();
        manager.add(link("ok1"));
        const QUuid id = manager.itemAt(0).id;
        // Paused and resumed while the program is still being started.
        manager.pause(id);
        manager.resume(id);
        QTRY_COMPARE(manager.item(id)->state, DownloadState::failed);
        QCOMPARE(manager.workerCount(), 0);
        // A later run that succeeds ends completed, not queued once more.
        QVERIFY(QFile::remove(broken));
        QVERIFY(QFile::copy(script, broken));
        manager.resume(id);
        QTRY_COMPARE(manager.item(id)->state, DownloadState::completed);
        QTest::qWait(100);
        QCOMPARE(manager.item(id)->state, DownloadState::completed);
    }

    void removingAndClearing()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(2);
        manager.add(link("ok1"));
        QTRY_COMPARE(manager.finished(), 1);
        manager.add(link("wait2") + " " + link("hold3") + " " + link("hold4") + " https://mega.nz/file/paused5#k");
        manager.pause(fixture.byTitle("paused5#k").id);
        QTRY_COMPARE(fixture.byTitle("wait2").title, "waiting");

        // What each download keeps while unfinished, and what must stay whatever happens.
        const QDir folder(fixture.dir.filePath("downloads"));
        const auto tag = [&fixture](const char *name) { return fixture.byTitle(name).jobID().left(8); };
        const QStringList working{"clip [wait2] [" + tag("wait2") + "].mp4.part",
                                  "clip [wait2] [" + tag("wait2") + "].f137.mp4",
                                  "clip [hold3] [" + tag("hold3") + "].mp4.part-Frag2.part",
                                  "clip [hold3] [" + tag("hold3") + "].mp4.ytdl",
                                  "clip [hold4] [" + tag("hold4") + "].temp.mp4",
                                  ".lark-" + fixture.byTitle("paused5#k").jobID() + ".mega.part",
                                  ".lark-" + fixture.byTitle("paused5#k").jobID() + ".mega.state"};
        const QStringList kept{"ok1.mp4", "clip [wait2] [" + tag("wait2") + "].mp4", "other [ABCDEF12].mp4.part",
                               "clip [" + tag("hold3") + "].mp4"};
        for (const QString &name : working + kept) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }

        manager.remove(fixture.byTitle("wait2").id);
        QCOMPARE(manager.count(), 4);
        QCOMPARE(manager.workerCount(), 2); // the slot frees only when the worker has exited
        QTRY_COMPARE(stateOf(manager, "hold4"), DownloadState::downloading);
        // Its worker has ended, and its working files have gone with it.
        QTRY_VERIFY(!folder.exists(working[0]) && !folder.exists(working[1]));
        QVERIFY(folder.exists(working[2]));

        manager.clearCompleted();
        QCOMPARE(manager.count(), 3);
        manager.clearAll();
        QCOMPARE(manager.count(), 0);
        QCOMPARE(manager.notice(), "Queue cleared. Downloaded files remain on disk.");
        QTRY_VERIFY(!folder.exists(working[5]) && !folder.exists(working[6])); // no worker to wait for
        fixture.release("hold3", 130);
        fixture.release("hold4", 130);
        QTRY_COMPARE(manager.workerCount(), 0);
        QCOMPARE(manager.count(), 0);
        QCOMPARE(fixture.notifier.completedIDs.size(), 1);
        QStringList sorted = kept;
        sorted.sort();
        QTRY_COMPARE(folder.entryList(QDir::Files | QDir::Hidden, QDir::Name), sorted);
    }

    void stateCountsFollowEveryChange()
    {
        Fixture fixture;
        DownloadManager *manager = &fixture.create();
        const auto agree = [&manager] {
            for (const DownloadState state : allDownloadStates) {
                const auto items = manager->items();
                const auto counted = std::count_if(items.begin(), items.end(),
                                                   [state](const DownloadItem &item) { return item.state == state; });
                if (counted != manager->count(state))
                    return false;
            }
            return true;
        };
        manager->setConcurrency(2);
        manager->add(link("ok1") + " " + link("hold2") + " " + link("hold3") + " " + link("hold4") + " " +
                     link("hold5"));
        QVERIFY(agree());
        QTRY_COMPARE(manager->finished(), 1);
        QVERIFY(agree());
        fixture.release("hold2", 1);
        QTRY_COMPARE(manager->count(DownloadState::failed), 1);
        QVERIFY(agree());
        manager->pauseAll();
        QVERIFY(agree());
        manager->resumeAll();
        QVERIFY(agree());
        manager->remove(fixture.byTitle("hold5").id);
        QVERIFY(agree());
        manager->clearCompleted();
        QVERIFY(agree());
        manager->shutdown();
        QVERIFY(agree());
        manager = &fixture.create(); // counted again from the history
        QCOMPARE(manager->count(DownloadState::paused), 3);
        QVERIFY(agree());
        manager->clearAll();
        QVERIFY(agree());
        QCOMPARE(manager->count(DownloadState::paused), 0);
        for (const char *name : {"hold2", "hold3", "hold4", "hold5"})
            fixture.release(name, 0);
    }

    void pauseAllAndResumeAll()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(1);
        manager.add(link("ok1") + " " + link("fail2"));
        QTRY_COMPARE(manager.workerCount(), 0);
        manager.add(link("hold3") + " " + link("hold4"));
        manager.pauseAll();
        QCOMPARE(stateOf(manager, "ok1"), DownloadState::completed);
        QCOMPARE(stateOf(manager, "fail2"), DownloadState::failed);
        QCOMPARE(stateOf(manager, "hold3"), DownloadState::paused);
        QCOMPARE(stateOf(manager, "hold4"), DownloadState::paused);
        fixture.release("hold3", 0);
        QTRY_COMPARE(manager.workerCount(), 0);

        // Retrying the failed ones leaves what the user paused alone.
        QFile::remove(fixture.recordDirectory() + "/fail2.args");
        manager.retryFailed();
        QTRY_VERIFY(!fixture.recorded("fail2").isEmpty());
        QTRY_COMPARE(stateOf(manager, "fail2"), DownloadState::failed);
        QCOMPARE(stateOf(manager, "hold4"), DownloadState::paused);

        QFile::remove(fixture.recordDirectory() + "/fail2.args");
        manager.setConcurrency(3);
        manager.resumeAll();
        QCOMPARE(stateOf(manager, "ok1"), DownloadState::completed);
        QTRY_VERIFY(!fixture.recorded("fail2").isEmpty()); // failed items are resumed too
        QCOMPARE(stateOf(manager, "hold4"), DownloadState::downloading);
        fixture.release("hold4", 0);
        fixture.release("hold3", 0);
        QTRY_COMPARE(manager.workerCount(), 0);
    }

    void failuresThatMayPassAreTriedAgain()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        const auto item = [&manager] { return manager.itemAt(0); };
        manager.add(link("busy1"));
        // Each wait is longer; the retries are told in the row; after the last one it stays failed.
        for (const int wait : {30, 120, 600}) {
            QTRY_VERIFY(item().state == DownloadState::failed && item().retryAt);
            QCOMPARE(item().failureKind, FailureKind::busy);
            QCOMPARE(*item().retryAt, fixture.clock.time.addSecs(wait));
            const int attempt = item().retries;
            QCOMPARE(FailureWords::shownDetail(item(), fixture.clock.time),
                     QString("Retrying in %1:%2 (attempt %3 of 3)")
                         .arg(wait / 60)
                         .arg(wait % 60, 2, 10, QChar('0'))
                         .arg(attempt));
            fixture.clock.pass(wait - 1);
            QTest::qWait(1200);
            QCOMPARE(item().state, DownloadState::failed); // not before its time
            QVERIFY(QFile::remove(fixture.recordDirectory() + "/busy1.args"));
            fixture.clock.pass(1);
            QTRY_VERIFY(!fixture.recorded("busy1").isEmpty());
        }
        QTRY_COMPARE(manager.workerCount(), 0);
        QCOMPARE(item().state, DownloadState::failed);
        QVERIFY(!item().retryAt);
        QCOMPARE(item().retries, 3);
        QVERIFY(FailureWords::shownDetail(item(), fixture.clock.time).startsWith("The site could not answer"));

        // Retry now starts it at once and the tries start over; pausing cancels the wait.
        manager.resume(item().id);
        QTRY_VERIFY(item().state == DownloadState::failed && item().retryAt);
        QCOMPARE(item().retries, 1);
        manager.resume(item().id);
        QTRY_VERIFY(item().state == DownloadState::failed && item().retryAt);
        manager.pause(item().id);
        QCOMPARE(item().state, DownloadState::paused);
        QVERIFY(!item().retryAt);
        QVERIFY(QFile::remove(fixture.recordDirectory() + "/busy1.args"));
        fixture.clock.pass(3600);
        QTest::qWait(1200);
        QCOMPARE(item().state, DownloadState::paused);
        QVERIFY(fixture.recorded("busy1").isEmpty());
    }

    void theSignalThatEndsTheApplicationPausesItsWorkers()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link("signal1"));
        QTRY_COMPARE(manager.workerCount(), 0);
        // A worker that SIGTERM ended on its own failed.
        QCOMPARE(manager.itemAt(0).state, DownloadState::failed);
        QVERIFY(manager.itemAt(0).detail.startsWith("Download stopped (15)."));
        // At a logout the whole group gets it, the application too: then it is a pause.
        noteEndingSignal(SIGTERM);
        const auto forget = qScopeGuard([] { noteEndingSignal(0); });
        manager.resume(manager.itemAt(0).id);
        QTRY_COMPARE(manager.itemAt(0).state, DownloadState::downloading);
        QTRY_COMPARE(manager.workerCount(), 0);
        QCOMPARE(manager.itemAt(0).state, DownloadState::paused);
        QCOMPARE(manager.itemAt(0).detail, "Paused \u2022 partial file kept for resume");
        QVERIFY(!manager.itemAt(0).retryAt);
    }

    void failuresThatCannotPassAreNotTriedAgain_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("an error nobody knows") << "fail1";
        QTest::newRow("a kind claimed by yt-dlp's output") << "forged1";
        QTest::newRow("a signal") << "signal1";
    }
    void failuresThatCannotPassAreNotTriedAgain()
    {
        QFETCH(QString, name);
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link(name));
        QTRY_COMPARE(manager.workerCount(), 0);
        QCOMPARE(manager.itemAt(0).state, DownloadState::failed);
        QVERIFY(!manager.itemAt(0).retryAt);
        QVERIFY(!manager.itemAt(0).failureKind);
    }

    void shutdownWritesPausedItemsAtOnce()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(1);
        manager.add(link("ok1"));
        QTRY_COMPARE(manager.finished(), 1);
        manager.add(link("hold2") + " " + link("hold3"));
        manager.shutdown();
        QVERIFY(manager.isClosing());
        const QJsonArray history = fixture.history();
        QCOMPARE(history.size(), 3);
        for (const QJsonValue &item : history)
            QVERIFY(item.toObject()["state"] == "Paused" || item.toObject()["state"] == "Completed");
        fixture.release("hold2", 0);
        QTRY_COMPARE(manager.workerCount(), 0);
        QCOMPARE(manager.active(), 0);
        manager.pump();
        QCOMPARE(manager.workerCount(), 0);
        QCOMPARE(fixture.notifier.completedIDs.size(), 1);
    }

    void whatQuittingPausedContinuesWhenAsked_data()
    {
        QTest::addColumn<bool>("continues");
        QTest::newRow("by default, everything waits for Resume") << false;
        QTest::newRow("continue unfinished downloads") << true;
    }
    void whatQuittingPausedContinuesWhenAsked()
    {
        QFETCH(bool, continues);
        Fixture fixture;
        fixture.stopGraceMs = 200; // a worker the pause reached while it was starting ends soon all the same
        {
            DownloadManager &manager = fixture.create();
            manager.setConcurrency(1);
            manager.add(link("hold1") + " " + link("hold2") + " " + link("hold3"));
            manager.pause(fixture.byTitle("hold3").id); // the user's own pause
            manager.setContinuesOnStart(continues);
            manager.shutdown();
            QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, 120000); // the pause ends the worker
        }
        DownloadManager &restarted = fixture.create();
        QCOMPARE(restarted.continuesOnStart(), continues);
        QTest::qWait(100);
        QTRY_COMPARE(stateOf(restarted, "hold1"), continues ? DownloadState::downloading : DownloadState::paused);
        // The one waiting for a slot when Lark quit goes on too, and the one the user paused does not.
        QCOMPARE(stateOf(restarted, "hold2"), continues ? DownloadState::queued : DownloadState::paused);
        QCOMPARE(stateOf(restarted, "hold3"), DownloadState::paused);
        fixture.release("hold1", 0);
        fixture.release("hold2", 0);
        QTRY_COMPARE(restarted.workerCount(), 0);
    }

    void historyRoundTripAndPrivacy()
    {
        Fixture fixture;
        {
            DownloadManager &manager = fixture.create();
            manager.setConcurrency(1);
            manager.add(link("ok1"));
            QTRY_COMPARE(manager.finished(), 1);
            manager.add(link("hold2") + " " + link("hold3"));
            QTRY_COMPARE(fixture.byTitle("hold2").title, "holding");
            manager.writeQueue();
            struct stat status;
            QCOMPARE(::stat(QFile::encodeName(manager.storagePath()).constData(), &status), 0);
            QCOMPARE(status.st_mode & 0777, 0600u);
            QCOMPARE(::stat(QFile::encodeName(manager.supportDirectory()).constData(), &status), 0);
            QCOMPARE(status.st_mode & 0777, 0700u);
            fixture.release("hold2", 0);
        }
        DownloadManager &restored = fixture.create();
        QCOMPARE(restored.count(), 3);
        QCOMPARE(restored.itemAt(0).url, link("hold2"));
        QCOMPARE(stateOf(restored, "ok1"), DownloadState::completed);
        QCOMPARE(fixture.byTitle("ok1").detail, "Saved to your computer");
        for (const char *name : {"hold2", "hold3"}) {
            const DownloadItem &item = fixture.byTitle(name);
            QCOMPARE(item.state, DownloadState::paused);
            QCOMPARE(item.detail, "Ready to resume");
            QCOMPARE(item.speedText(), "\u2014");
        }
        QCOMPARE(fixture.byTitle("hold2").title, "holding");
        QCOMPARE(restored.workerCount(), 0);
    }

    void unreadableHistoryIsKeptAside_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("kept");       // items still loaded out of the three written
        QTest::addColumn<QString>("notice"); // empty: none, and no copy
        QTest::newRow("one element with a bad state")
            << "state" << 2 << "1 item of the history could not be read and was left out; the whole file was kept as ";
        QTest::newRow("two elements that are not objects")
            << "numbers" << 3
            << "2 items of the history could not be read and were left out; the whole file was kept as ";
        QTest::newRow("not a list at all")
            << "garbage" << 0 << "The history could not be read, so no items were loaded; the file was kept as ";
        QTest::newRow("empty file") << "empty" << 0 << "";
    }
    void unreadableHistoryIsKeptAside()
    {
        QFETCH(QString, damage);
        QFETCH(int, kept);
        QFETCH(QString, notice);
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.add(link("ok1") + " " + link("ok2") + " " + link("ok3"));
        QTRY_COMPARE(manager.finished(), 3);
        manager.writeQueue();
        QJsonArray history = fixture.history();
        QByteArray bytes;
        if (damage == "state") {
            QJsonObject item = history[1].toObject();
            item["state"] = "queued";
            history[1] = item;
        } else if (damage == "numbers") {
            history.insert(1, 42);
            history.append(QJsonValue());
        }
        bytes = damage == "garbage" ? QByteArray("[{\"id\": tru")
                : damage == "empty" ? QByteArray()
                                    : QJsonDocument(history).toJson();
        const QString path = manager.storagePath();
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();

        DownloadManager &restored = fixture.create();
        QCOMPARE(restored.count(), kept);
        const QStringList copies = QDir(QFileInfo(path).path()).entryList({"queue.json.unreadable-*"}, QDir::Files);
        if (notice.isEmpty()) {
            QVERIFY(copies.isEmpty());
            QCOMPARE(restored.notice(), QString());
            return;
        }
        QCOMPARE(copies.size(), 1);
        const QString copy = QFileInfo(path).path() + "/" + copies.first();
        QCOMPARE(restored.notice(), notice + copy);
        QFile kept_(copy);
        QVERIFY(kept_.open(QIODevice::ReadOnly));
        QCOMPARE(kept_.readAll(), bytes);
        QCOMPARE(kept_.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());
        // The next write replaces the history, and the copy stays as it was.
        restored.add(link("ok4"));
        QTRY_COMPARE(restored.finished(), kept + 1);
        restored.writeQueue();
        QCOMPARE(fixture.history().size(), kept + 1);
        QVERIFY(QFile::exists(copy));
        // A second unreadable start makes a second copy, never over the first.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("not json");
        file.close();
        fixture.create();
        QCOMPARE(QDir(QFileInfo(path).path()).entryList({"queue.json.unreadable-*"}, QDir::Files).size(), 2);
    }

    void writesAreDebounced()
    {
        // A long delay against changes 60 ms apart, so a busy machine's stalls never split them.
        Fixture fixture(ytDlp, 1500);
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(0);
        manager.add(link("queued"));
        QSignalSpy writes(&manager, &DownloadManager::historyWritten);
        const QUuid id = manager.itemAt(0).id;
        QElapsedTimer timer;
        for (int i = 0; i < 8; ++i) {
            manager.change(id, [i](DownloadItem &item) { item.title = QString::number(i); });
            timer.start();
            QTest::qWait(60);
        }
        QVERIFY(writes.wait(60000));
        QVERIFY(timer.elapsed() >= 1490);
        QTest::qWait(400);
        QCOMPARE(writes.size(), 1);
        QCOMPARE(fixture.history()[0].toObject()["title"].toString(), "7");
        manager.change(QUuid::createUuid(), [](DownloadItem &item) { item.title = "never"; });
        QTest::qWait(1600);
        QCOMPARE(writes.size(), 1);
    }

    void endlessChangesAreStillWritten()
    {
        Fixture fixture(ytDlp, 300);
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(0);
        manager.add(link("queued"));
        QSignalSpy writes(&manager, &DownloadManager::historyWritten);
        const QUuid id = manager.itemAt(0).id;
        // Changes 50 ms apart: the bound of 5 s forces a write in between
        // (the loop allows for a busy machine, not for a missing bound).
        for (int i = 0; i < 600 && writes.isEmpty(); ++i) {
            manager.change(id, [i](DownloadItem &item) { item.progress = i; });
            QTest::qWait(50);
        }
        QCOMPARE(writes.size(), 1);
    }

    void progressAloneIsWrittenRarely()
    {
        // Progress lines every 20 ms: they do not bring the 500 ms bound of
        // other changes, only their own delay.
        Fixture fixture(ytDlp, 100);
        fixture.maxSaveDelayMs = 500;
        fixture.progressSaveDelayMs = 6000;
        DownloadManager &manager = fixture.create();
        QSignalSpy writes(&manager, &DownloadManager::historyWritten);
        manager.add(link("progress1"));
        const auto writtenTitle = [&fixture] {
            const QJsonArray history = fixture.history();
            return history.isEmpty() ? QString() : history.at(0).toObject()["title"].toString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(writtenTitle(), "Title progress1", 60000);
        // The write that carried it is announced once it is done; nothing else is due for seconds.
        QTRY_VERIFY_WITH_TIMEOUT(!writes.isEmpty(), 60000);
        QTest::qWait(300);
        const qsizetype titleWritten = writes.size();
        QVERIFY(manager.itemAt(0).progress > 0);
        // Timers fire late on a busy machine, never early.
        QTest::qWait(1500);
        QCOMPARE(writes.size(), titleWritten);
        QTRY_VERIFY_WITH_TIMEOUT(writes.size() > titleWritten, 60000);
        QVERIFY(fixture.history().at(0).toObject()["progress"].toDouble() > 0);
        manager.pauseAll();
    }

    void historyHoldsTheQueueAsItIs()
    {
        // What is written is each item as it is now, whatever changed it: a
        // worker's lines, a change, a removal, a pause, the quit.
        Fixture fixture(ytDlp, 50);
        DownloadManager &manager = fixture.create();
        manager.add(QStringList{link("ok1"), link("wait1"), link("fail1"), link("ok2")}.join(' '));
        QTRY_COMPARE_WITH_TIMEOUT(manager.finished(), 2, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(stateOf(manager, "fail1"), DownloadState::failed, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.byTitle("wait1").title, "waiting", 60000);
        manager.writeQueue();
        manager.change(fixture.byTitle("fail1").id, [](DownloadItem &item) { item.title = "renamed"; });
        manager.remove(fixture.byTitle("ok2").id);
        manager.shutdown();
        QJsonArray expected;
        for (const DownloadItem &item : manager.items())
            expected.append(item.toJson());
        QCOMPARE(fixture.history(), expected);
        QCOMPARE(expected.size(), 3);
        QVERIFY(fixture.byTitle("wait1").stoppedByQuit);
    }

    void changesDuringAWriteAreWrittenOnceAfterIt()
    {
        // Requests while a write is under way: exactly one more write, after
        // it, with the list as it is then. No timing is involved: the first
        // write cannot end before the event loop runs again.
        QTemporaryDir directory;
        std::vector<DownloadItem> items{DownloadItem(link("one"), "first", directory.path(), "Best", "None")};
        int snapshots = 0;
        HistoryFile history(directory.path(), [&] {
            ++snapshots;
            return HistoryFile::Snapshot{{QByteArray()}, {{0, 1, items[0]}}};
        });
        QSignalSpy writes(&history, &HistoryFile::written);
        history.writeInBackground();
        for (const char *title : {"second", "third"}) {
            items[0].title = title;
            history.writeInBackground();
        }
        QCOMPARE(snapshots, 1);
        QTRY_COMPARE_WITH_TIMEOUT(writes.size(), 2, 60000);
        QCOMPARE(snapshots, 2);
        QTest::qWait(100);
        QCOMPARE(writes.size(), 2);
        QFile file(history.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).array()[0].toObject()["title"].toString(), "third");
    }

    void failedWriteSetsTheNotice_data()
    {
        QTest::addColumn<bool>("scheduled");
        QTest::newRow("written at once") << false;
        QTest::newRow("scheduled write in the background") << true;
    }
    void failedWriteSetsTheNotice()
    {
        QFETCH(bool, scheduled);
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        QVERIFY(QDir().rmpath(manager.supportDirectory()) || true);
        QFile::remove(manager.storagePath());
        QDir().rmdir(manager.supportDirectory());
        QFile blocker(manager.supportDirectory());
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
        blocker.close();
        if (scheduled) {
            manager.setConcurrency(0);
            manager.add(link("queued"));
            QTRY_VERIFY2(manager.notice().startsWith("Could not save history: "), qPrintable(manager.notice()));
        } else {
            manager.writeQueue();
            QVERIFY2(manager.notice().startsWith("Could not save history: "), qPrintable(manager.notice()));
        }
    }

    void settings_data()
    {
        QTest::addColumn<QVariant>("concurrency");
        QTest::addColumn<int>("loaded");
        QTest::addColumn<QVariant>("notifications");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QStringList>("choices"); // quality and browser stored, then as loaded
        // clang-format off
        QTest::newRow("absent") << QVariant() << 3 << QVariant() << true << QStringList{"", "", "Best available", "None"};
        QTest::newRow("zero") << QVariant(0) << 3 << QVariant("false") << false << QStringList{"720p", "Firefox", "720p", "Firefox"};
        QTest::newRow("five") << QVariant(5) << 5 << QVariant("true") << true << QStringList{"Audio \u2022 MP3", "Vivaldi", "Audio \u2022 MP3", "Vivaldi"};
        QTest::newRow("one") << QVariant(1) << 1 << QVariant("yes") << true << QStringList{"4K", "Netscape", "Best available", "None"};
        QTest::newRow("negative") << QVariant(-2) << 1 << QVariant(0) << true << QStringList{"1080P", "firefox", "Best available", "None"};
        QTest::newRow("ten") << QVariant(10) << 10 << QVariant(false) << false << QStringList{"1080p", "None", "1080p", "None"};
        // clang-format on
    }
    void settings()
    {
        QFETCH(QVariant, concurrency);
        QFETCH(int, loaded);
        QFETCH(QVariant, notifications);
        QFETCH(bool, enabled);
        QFETCH(QStringList, choices);
        Fixture fixture;
        if (!choices[0].isEmpty()) {
            // As the window stores them when they are chosen.
            DownloadManager &first = fixture.create();
            first.setQuality(choices[0]);
            first.setBrowser(choices[1]);
        }
        if (concurrency.isValid())
            fixture.settings->setValue("concurrency", concurrency);
        if (notifications.isValid())
            fixture.settings->setValue("notificationsEnabled", notifications);
        fixture.settings->sync();
        // Read back through a fresh settings object, as a new run would.
        fixture.settings = std::make_unique<QSettings>(fixture.dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager &manager = fixture.create();
        QCOMPARE(manager.concurrency(), loaded);
        QCOMPARE(manager.notificationsEnabled(), enabled);
        // Quality and browser are remembered, when they are still among the choices.
        QCOMPARE(manager.quality(), choices[2]);
        QCOMPARE(manager.browser(), choices[3]);
    }

    void defaultFolderAndChosenFolder()
    {
        Fixture fixture;
        DownloadManager::Options options;
        options.storageDirectory = fixture.dir.filePath("storage");
        options.settings = fixture.settings.get();
        options.toolDirectory = fixture.toolDirectory();
        DownloadManager manager(options);
        QVERIFY(manager.folder().endsWith("/Lark"));
        QVERIFY(QDir::isAbsolutePath(manager.folder()));
        QVERIFY(!fixture.settings->contains("folder"));

        manager.add(link("hold1"));
        manager.saveChosenFolder("/srv/videos");
        QCOMPARE(manager.folder(), "/srv/videos");
        QCOMPARE(fixture.settings->value("folder").toString(), "/srv/videos");
        QCOMPARE(manager.notice(), "New downloads will be saved to /srv/videos");
        QVERIFY(manager.itemAt(0).folder.endsWith("/Lark"));
        manager.pause(manager.itemAt(0).id);
        fixture.release("hold1", 0);
    }

    void notificationSettingReachesTheNotifier()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.configureNotifications();
        QTRY_COMPARE(manager.notificationStatus(), "on");
        manager.setNotificationsEnabled(false);
        QCOMPARE(fixture.settings->value("notificationsEnabled").toBool(), false);
        QTRY_COMPARE(manager.notificationStatus(), "off");
        QCOMPARE(fixture.notifier.configured, QList<bool>({true, false}));
        manager.add(link("ok1"));
        QTRY_COMPARE(manager.finished(), 1);
        QCOMPARE(fixture.notifier.completedIDs.size(), 0);
    }

    void folderNoticeCountsTheBrowsersToCome()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(0);
        manager.add("https://mega.nz/folder/AAAAAAAA#k https://mega.nz/folder/BBBBBBBB#k https://example.com/v");
        QCOMPARE(manager.notice(), "Added 1 download \u2022 Choose files from 2 MEGA folders");
        manager.clearFolderRequest();
        manager.folderBrowserDismissed();
        QCOMPARE(manager.notice(), "Added 1 download \u2022 Choose files from 1 MEGA folder");
        QTRY_VERIFY(manager.folderRequest().has_value());
        manager.clearFolderRequest();
        manager.folderBrowserDismissed();
        QCOMPARE(manager.notice(), "Added 1 download");

        manager.add("https://mega.nz/folder/CCCCCCCC#k");
        QCOMPARE(manager.notice(), "Choose files from 1 MEGA folder");
        manager.clearFolderRequest();
        manager.folderBrowserDismissed();
        QCOMPARE(manager.notice(), QString());
    }

    void folderRequestsOneAtATime()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        const QString a = "https://mega.nz/folder/AAAAAAAA#k";
        const QString b = "https://mega.nz/folder/BBBBBBBB#k";
        const QString c = "https://mega.nz/folder/CCCCCCCC#k";
        QSignalSpy requests(&manager, &DownloadManager::folderRequestChanged);
        manager.add(a + " " + b + " " + c);
        QCOMPARE(manager.folderRequest()->url, a);
        QCOMPARE(manager.pendingFolderLinks(), QStringList({b, c}));
        manager.add(a + " " + b);
        QCOMPARE(manager.pendingFolderLinks(), QStringList({b, c}));
        QCOMPARE(manager.notice(), "Added 0 downloads");

        const QUuid first = manager.folderRequest()->id;
        manager.clearFolderRequest();
        manager.folderBrowserDismissed();
        QVERIFY(!manager.folderRequest()); // deferred to a later turn of the event loop
        QTRY_VERIFY(manager.folderRequest().has_value());
        QCOMPARE(manager.folderRequest()->url, b);
        QVERIFY(manager.folderRequest()->id != first);
        manager.clearFolderRequest();
        manager.folderBrowserDismissed();
        QTRY_COMPARE(manager.folderRequest() ? manager.folderRequest()->url : QString(), c);
        manager.clearFolderRequest();
        manager.folderBrowserDismissed();
        QTest::qWait(20);
        QVERIFY(!manager.folderRequest());
    }

    void addingMegaFiles()
    {
        Fixture fixture(ytDlp); // no lark-mega: the items fail to start, which is fine here
        DownloadManager &manager = fixture.create();
        manager.setConcurrency(0);
        MegaFolderListing listing;
        listing.sourceURL = "https://mega.nz/folder/AbCdEfGh#bqYT8Zdz0BGhr4DVR5LW4w";
        listing.shareHandle = "AbCdEfGh";
        const MegaFolderNode first{"0aB1cD2e", "root",  "first.mp4",
                                   false,      1500000, *MegaFileKey::fromText(fileKey.toUtf8())};
        const MegaFolderNode second{"1aB1cD2e", "root", "second.mkv",
                                    false,      20,     *MegaFileKey::fromText(fileKey.toUtf8())};
        const MegaFolderNode folder{"2aB1cD2e", "root", "Folder", true, 0, {}};
        const MegaFolderNode invalid{"3aB1cD2e", "root", "bad key.mp4", false, 1, *MegaFileKey::fromText("short")};
        manager.addMegaFiles({second, folder, first, invalid}, listing);
        QCOMPARE(manager.notice(), "Added 2 selected MEGA files to the queue");
        QCOMPARE(manager.count(), 2);
        const DownloadItem &top = manager.itemAt(0);
        QCOMPARE(top.url, listing.sourceURL + "/file/1aB1cD2e");
        QCOMPARE(top.title, "second.mkv");
        QCOMPARE(top.quality, "Original file");
        QCOMPARE(top.browser, "None");
        QCOMPARE(top.sizeText(), "20 bytes");
        QCOMPARE(top.platform(), "MEGA");
        QCOMPARE(top.megaNode->identity(), "AbCdEfGh:1aB1cD2e");
        QCOMPARE(manager.itemAt(1).sizeText(), "1.5 MB");

        manager.addMegaFiles({first}, listing);
        QCOMPARE(manager.notice(), "Added 0 selected MEGA files to the queue");
        manager.change(manager.itemAt(1).id, [](DownloadItem &item) { item.state = DownloadState::completed; });
        manager.addMegaFiles({first}, listing);
        QCOMPARE(manager.notice(), "Added 1 selected MEGA file to the queue");
        QCOMPARE(manager.count(), 3);
    }

    void changeOfAnUnknownIdDoesNothing()
    {
        Fixture fixture;
        DownloadManager &manager = fixture.create();
        QSignalSpy rows(manager.model(), &QAbstractItemModel::dataChanged);
        bool called = false;
        manager.change(QUuid::createUuid(), [&called](DownloadItem &) { called = true; });
        QVERIFY(!called);
        QCOMPARE(rows.size(), 0);
        manager.pause(QUuid::createUuid());
        manager.resume(QUuid::createUuid());
        manager.remove(QUuid::createUuid());
        QCOMPARE(manager.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
