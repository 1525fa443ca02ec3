// The manager with the workers users have: the real lark-mega against the
// MEGA emulator, and Debian's yt-dlp against a local HTTP server.
#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "app/manager/YtDlpCommand.h"
#include "tests/support/ClipServer.h"
#include "tests/support/MegaEmulator.h"
#include "tests/support/MovedClock.h"
#include "tests/support/Programs.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <cmath>
#include <csignal>
#include <optional>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The page yt-dlp's generic extractor reads: a title, and a video for each source.
QByteArray page(const QString &title, const QStringList &sources)
{
    QByteArray html = "<!doctype html><html><head><title>" + title.toUtf8() + "</title></head><body>";
    for (const QString &source : sources)
        html += "<video src=\"" + source.toUtf8() + "\"></video>";
    return html + "</body></html>";
}

// What ffprobe says of a saved file: its streams and container, and its title tag.
struct Probed {
    int height = 0; // of its picture; 0: none
    QString audio;  // the codec of its sound; empty: none
    int subtitles = 0;
    QString subtitleLanguage;
    QString title;
};

Probed probe(const QString &path)
{
    const auto output =
        programOutput("ffprobe", {"-v", "error", "-show_entries",
                                  "stream=codec_type,codec_name,height:stream_tags=language,title:format_tags=title",
                                  "-of", "json", path});
    Probed probed;
    const QJsonObject json = QJsonDocument::fromJson(output.value_or("{}")).object();
    for (const QJsonValue &value : json["streams"].toArray()) {
        const QJsonObject stream = value.toObject();
        const QString type = stream["codec_type"].toString();
        if (type == "video" && stream["codec_name"].toString() != "mjpeg" && stream["codec_name"].toString() != "png")
            probed.height = stream["height"].toInt();
        else if (type == "audio")
            probed.audio = stream["codec_name"].toString();
        else if (type == "subtitle") {
            ++probed.subtitles;
            probed.subtitleLanguage = stream["tags"].toObject()["language"].toString();
        }
        // Ogg keeps its tags with the stream.
        if (probed.title.isEmpty())
            probed.title = stream["tags"].toObject()["title"].toString();
    }
    if (const QString title = json["format"].toObject()["tags"].toObject()["title"].toString(); !title.isEmpty())
        probed.title = title;
    return probed;
}

struct Fixture {
    explicit Fixture(int stopGraceMs = 5000) : stopGraceMs(stopGraceMs)
    {
        settings = std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat);
        restart();
        manager->setFolder(dir.filePath("downloads"));
    }
    // A new manager on the same history, as after quitting and starting again.
    void restart()
    {
        if (manager)
            manager->shutdown();
        manager.reset();
        DownloadManager::Options options;
        options.storageDirectory = dir.filePath("storage");
        options.settings = settings.get();
        options.toolDirectory = QFileInfo(toolPath()).absolutePath();
        options.stopGraceMs = stopGraceMs;
        options.clock = &clock;
        manager = std::make_unique<DownloadManager>(options);
    }
    int stopGraceMs;
    MovedClock clock;
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<DownloadManager> manager;
};

// The clip server on the clips, and a manager whose download of a link has ended.
struct Finished {
    ClipServer server;
    Fixture fixture;
};

} // namespace

class TestRealWorkers : public QObject {
    Q_OBJECT

private:
    MegaEmulator m_emulator;
    QTemporaryDir m_clips;
    QByteArray m_clip;

    void download(Finished &run, const QString &path, const QString &quality = "Best available",
                  const QString &browser = "None")
    {
        const QString base = run.server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty());
        run.fixture.manager->setQuality(quality);
        run.fixture.manager->setBrowser(browser);
        QVERIFY(run.fixture.manager->add(base + "/" + QString::fromUtf8(QUrl::toPercentEncoding(path))));
        QTRY_VERIFY_WITH_TIMEOUT(run.fixture.manager->itemAt(0).state == DownloadState::completed ||
                                     run.fixture.manager->itemAt(0).state == DownloadState::failed,
                                 120000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString error = m_emulator.start();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QProcess ffmpeg;
        ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
        ffmpeg.start("ffmpeg",
                     {"-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=duration=4:size=640x360:rate=25",
                      "-c:v", "mpeg4", "-q:v", "2", m_clips.filePath("clip.mp4")});
        QVERIFY2(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0, ffmpeg.readAll().constData());
        m_clip = readFile(m_clips.filePath("clip.mp4"));
        QVERIFY(m_clip.size() > 100000);
        // The clip as HLS in one-second pieces, and a playlist two of whose pieces the server cuts short.
        QVERIFY(programOutput("ffmpeg",
                              {"-loglevel", "error", "-y", "-i", m_clips.filePath("clip.mp4"), "-c", "copy", "-f",
                               "hls", "-hls_time", "1", "-hls_list_size", "0", "-hls_segment_filename",
                               m_clips.filePath("seg%d.ts"), m_clips.filePath("clip.m3u8")},
                              120000));
        QByteArray cut = readFile(m_clips.filePath("clip.m3u8"));
        cut.replace("\nseg1.ts", "\n/cut/seg1.ts").replace("\nseg2.ts", "\n/cut/seg2.ts");
        QVERIFY(cut.contains("/cut/seg2.ts") && writeFile(m_clips.filePath("cut.m3u8"), cut));
        // Picture and sound as separate DASH streams, fetched one after the other and joined.
        QVERIFY(programOutput("ffmpeg",
                              {"-loglevel",
                               "error",
                               "-y",
                               "-f",
                               "lavfi",
                               "-i",
                               "testsrc=duration=6:size=320x240:rate=10",
                               "-f",
                               "lavfi",
                               "-i",
                               "sine=duration=6",
                               "-map",
                               "0:v",
                               "-map",
                               "1:a",
                               "-c:v",
                               "mpeg4",
                               "-c:a",
                               "aac",
                               "-f",
                               "dash",
                               "-seg_duration",
                               "1",
                               m_clips.filePath("dash.mpd")},
                              120000));
        // A ladder of heights for the caps: DASH at 720, 480 and 240 with sound, HLS at 720 and 360.
        QVERIFY(programOutput("ffmpeg",
                              {"-loglevel",
                               "error",
                               "-y",
                               "-f",
                               "lavfi",
                               "-i",
                               "testsrc=duration=2:size=1280x720:rate=10",
                               "-f",
                               "lavfi",
                               "-i",
                               "sine=duration=2",
                               "-filter_complex",
                               "[0:v]split=3[a][b][c];[b]scale=854:480[m];[c]scale=426:240[s]",
                               "-map",
                               "[a]",
                               "-map",
                               "[m]",
                               "-map",
                               "[s]",
                               "-map",
                               "1:a",
                               "-c:v",
                               "mpeg4",
                               "-c:a",
                               "aac",
                               "-f",
                               "dash",
                               "-seg_duration",
                               "1",
                               "-init_seg_name",
                               "ladder-init-$RepresentationID$.m4s",
                               "-media_seg_name",
                               "ladder-$RepresentationID$-$Number$.m4s",
                               m_clips.filePath("ladder.mpd")},
                              120000));
        QVERIFY(
            programOutput("ffmpeg",
                          {"-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=duration=2:size=1280x720:rate=10",
                           "-c:v", "mpeg4", m_clips.filePath("high.mp4")},
                          120000));
        // HLS as sites make it: H.264 in MPEG-TS.
        for (const char *size : {"640x360", "1280x720"}) {
            const QString name = QString("hls%1").arg(QString(size).section('x', 1));
            QVERIFY(programOutput("ffmpeg",
                                  {"-loglevel",
                                   "error",
                                   "-y",
                                   "-f",
                                   "lavfi",
                                   "-i",
                                   QString("testsrc=duration=2:size=%1:rate=10").arg(size),
                                   "-c:v",
                                   "libx264",
                                   "-preset",
                                   "ultrafast",
                                   "-f",
                                   "hls",
                                   "-hls_time",
                                   "1",
                                   "-hls_list_size",
                                   "0",
                                   "-hls_segment_filename",
                                   m_clips.filePath(name + "-%d.ts"),
                                   m_clips.filePath(name + ".m3u8")},
                                  120000));
        }
        QVERIFY(writeFile(m_clips.filePath("ladder.m3u8"),
                          "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\nhls360.m3u8\n"
                          "#EXT-X-STREAM-INF:BANDWIDTH=3000000,RESOLUTION=1280x720\nhls720.m3u8\n"));
    }

    void megaFileLink()
    {
        QByteArray original(3 * 1048576 + 17, Qt::Uninitialized);
        for (char &c : original)
            c = static_cast<char>(QRandomGenerator::global()->generate());
        QTemporaryDir sources;
        QFile source(sources.filePath("source"));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write(original) == original.size());
        source.close();
        const QJsonObject file = m_emulator.addFile(source.fileName(), "holiday.mkv");

        Fixture fixture;
        QVERIFY(fixture.manager->add(file["link"].toString()));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::completed, 120000);
        const DownloadItem &item = fixture.manager->itemAt(0);
        QCOMPARE(item.title, "holiday.mkv");
        QCOMPARE(item.file, fixture.dir.filePath("downloads/holiday.mkv"));
        QCOMPARE(readFile(*item.file), original);
        QCOMPARE(item.detail, "Saved to your computer");
        QCOMPARE(item.sizeText(), "3.1 MB");
    }

    void forgedLinesInMegaNamesAreText_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("fails"); // the transfer fails, so nothing may look finished
        QTest::newRow("carriage returns")
            << "Holiday.mp4\rLARK_FILE|/etc/shadow\rLARK_PROGRESS|100%|9 MiB/s|0:00|1 MiB" << true;
        QTest::newRow("1 MiB of padding") << QString(65 * 16384 - 11, 'p') + "LARK_FILE|/etc/shadow" << false;
    }
    void forgedLinesInMegaNamesAreText()
    {
        QFETCH(QString, name);
        QFETCH(bool, fails);
        QTemporaryDir sources;
        QVERIFY(writeFile(sources.filePath("source"), QByteArray(1000, 'x')));
        const QJsonObject file = m_emulator.addFile(sources.filePath("source"), name);
        // A server error every time: the tool's tries are spent, and the item waits to try again.
        if (fails)
            m_emulator.setFaults({{"range", QJsonObject{{"status", 500}}}});
        const auto clear = qScopeGuard([this] { m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}}); });

        Fixture fixture;
        QVERIFY(fixture.manager->add(file["link"].toString()));
        QTRY_VERIFY_WITH_TIMEOUT(fixture.manager->itemAt(0).state != DownloadState::downloading &&
                                     fixture.manager->workerCount() == 0,
                                 120000);
        const DownloadItem &item = fixture.manager->itemAt(0);
        QCOMPARE(item.state, fails ? DownloadState::failed : DownloadState::completed);
        QVERIFY2(!item.file || item.file->startsWith(fixture.dir.filePath("downloads/")),
                 qPrintable(item.file.value_or("<none>")));
        QVERIFY(!item.title.contains('\r'));
        if (fails) {
            QCOMPARE(item.file, std::nullopt);
            QCOMPARE(item.progress, 0.0);
            QVERIFY(item.bytesTotal != 1048576);
        }
    }

    void megaQuotaWaitsUntilItResetsAlsoAfterARestart()
    {
        QTemporaryDir sources;
        QFile source(sources.filePath("source"));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write(QByteArray(1000, 'x')) == 1000);
        source.close();
        const QJsonObject file = m_emulator.addFile(source.fileName(), "quota.mkv");
        m_emulator.setFaults({{"range", QJsonObject{{"status", 509}, {"timeLeft", 2520}, {"count", 1}}}});
        const auto clear = qScopeGuard([this] { m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}}); });

        Fixture fixture;
        QVERIFY(fixture.manager->add(file["link"].toString()));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::failed, 120000);
        const QDateTime resets = fixture.clock.time.addSecs(2520);
        const DownloadItem &item = fixture.manager->itemAt(0);
        QCOMPARE(item.detail,
                 "ERROR: MEGA transfer quota reached. Quota resets at " + resets.toLocalTime().toString("HH:mm") + ".");
        QCOMPARE(item.failureKind, FailureKind::quota);
        QCOMPARE(item.retryAt, resets.addSecs(10));
        QCOMPARE(item.retries, 0); // waiting out a quota is no failed attempt
        const auto shown = [&fixture] {
            return fixture.manager->model()->index(0, 0).data(Qt::AccessibleDescriptionRole).toString();
        };
        QCOMPARE(shown(), "Failed, MEGA's transfer quota is used up: the download goes on by itself in 42:10.");

        // Quit and start again during the wait: it goes on, and ends by itself.
        fixture.restart();
        QCOMPARE(fixture.manager->itemAt(0).retryAt, resets.addSecs(10));
        fixture.clock.time = resets.addSecs(9);
        QTest::qWait(1500);
        QCOMPARE(fixture.manager->itemAt(0).state, DownloadState::failed);
        QCOMPARE(shown(), "Failed, MEGA's transfer quota is used up: the download goes on by itself in 0:01.");
        fixture.clock.time = resets.addSecs(11);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::completed, 120000);
        QCOMPARE(readFile(*fixture.manager->itemAt(0).file), QByteArray(1000, 'x'));
        QVERIFY(!fixture.manager->itemAt(0).retryAt);
    }

    void passingFailuresAreRetriedByThemselves_data()
    {
        QTest::addColumn<QString>("path"); // on the clip server
        QTest::addColumn<bool>("automatic");
        QTest::newRow("a 429, retried") << "/busy/1/clip.mp4" << true;
        QTest::newRow("a 429, with retries turned off") << "/busy/1/clip.mp4" << false;
    }
    void passingFailuresAreRetriedByThemselves()
    {
        QFETCH(QString, path);
        QFETCH(bool, automatic);
        ClipServer server;
        const QString base = server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty());
        Fixture fixture;
        fixture.manager->setRetriesAutomatically(automatic);
        QVERIFY(fixture.manager->add(base + path));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::failed, 60000);
        const DownloadItem &item = fixture.manager->itemAt(0);
        QVERIFY2(item.detail.contains("HTTP Error 429"), qPrintable(item.detail));
        QCOMPARE(item.failureKind, FailureKind::busy);
        const QString shown = fixture.manager->model()->index(0, 0).data(Qt::AccessibleDescriptionRole).toString();
        if (!automatic) {
            QVERIFY(!item.retryAt);
            QVERIFY2(shown.startsWith("Failed, The site is limiting how often it answers"), qPrintable(shown));
            fixture.clock.time = fixture.clock.time.addSecs(3600);
            QTest::qWait(1500);
            QCOMPARE(fixture.manager->itemAt(0).state, DownloadState::failed);
            return;
        }
        QCOMPARE(shown, "Failed, Retrying in 0:30 (attempt 1 of 3)");
        fixture.clock.time = fixture.clock.time.addSecs(31);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::completed, 60000);
        QCOMPARE(picture(*fixture.manager->itemAt(0).file), picture(m_clips.filePath("clip.mp4")));
        QCOMPARE(fixture.manager->itemAt(0).retries, 0);
    }

    void megaFolderFiles()
    {
        QTemporaryDir sources;
        QFile source(sources.filePath("clip"));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write(m_clip) == m_clip.size());
        source.close();
        const QJsonObject share = m_emulator.addShare({
            QJsonObject{{"id", "root"}, {"type", "folder"}, {"name", "Share"}},
            QJsonObject{{"id", "clip"},
                        {"type", "file"},
                        {"name", "clip.mp4"},
                        {"parent", "root"},
                        {"path", source.fileName()}},
        });
        const ToolRun listed = runTool({"--list-folder", share["link"].toString()});
        QCOMPARE(listed.exitCode, 0);
        const auto listing = MegaFolderListing::fromJsonText(listed.output);
        QVERIFY(listing);

        Fixture fixture;
        fixture.manager->addMegaFiles(listing->nodes, *listing);
        QCOMPARE(fixture.manager->count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::completed, 120000);
        QCOMPARE(fixture.manager->itemAt(0).file, fixture.dir.filePath("downloads/Share/clip.mp4"));
        QCOMPARE(readFile(*fixture.manager->itemAt(0).file), m_clip);
    }

    void ytDlpDownload()
    {
        ClipServer server;
        const QString base = server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty());
        Fixture fixture;
        QList<double> progress;
        connect(fixture.manager->model(), &QAbstractItemModel::dataChanged, this,
                [&] { progress.append(fixture.manager->itemAt(0).progress); });
        QVERIFY(fixture.manager->add(base + "/clip.mp4"));
        QTRY_VERIFY_WITH_TIMEOUT(fixture.manager->itemAt(0).state != DownloadState::downloading, 60000);
        const DownloadItem &item = fixture.manager->itemAt(0);
        QCOMPARE(item.detail, "Saved to your computer");
        QCOMPARE(item.state, DownloadState::completed);
        QCOMPARE(item.title, "clip");
        QVERIFY(item.file);
        QVERIFY2(item.file->startsWith(fixture.dir.filePath("downloads/clip [clip] [")), qPrintable(*item.file));
        QCOMPARE(picture(*item.file), picture(m_clips.filePath("clip.mp4")));
        QVERIFY(std::any_of(progress.begin(), progress.end(), [](double p) { return p > 0 && p < 100; }));
    }

    void separateStreamsShowOneBarThatNeverGoesBack()
    {
        ClipServer server;
        const QString base = server.start(m_clips.path(), 100000);
        QVERIFY(!base.isEmpty());
        Fixture fixture;
        QList<double> progress;
        connect(fixture.manager->model(), &QAbstractItemModel::dataChanged, this, [&] {
            if (fixture.manager->itemAt(0).state == DownloadState::downloading)
                progress.append(fixture.manager->itemAt(0).progress);
        });
        QVERIFY(fixture.manager->add(base + "/dash.mpd"));
        QTRY_VERIFY_WITH_TIMEOUT(fixture.manager->itemAt(0).state != DownloadState::downloading, 120000);
        const DownloadItem &item = fixture.manager->itemAt(0);
        QCOMPARE(item.state, DownloadState::completed);
        QVERIFY2(progress.size() >= 4, qPrintable(QString::number(progress.size())));
        QStringList shown;
        for (double p : progress)
            shown.append(QString::number(p));
        QVERIFY2(std::is_sorted(progress.cbegin(), progress.cend()), qPrintable(shown.join(' ')));
        // The size of what was saved, both streams joined into it.
        QCOMPARE(item.bytesTotal, QFileInfo(*item.file).size());
        QCOMPARE(programOutput("ffprobe",
                               {"-v", "error", "-show_entries", "stream=codec_type", "-of", "csv=p=0", *item.file})
                     .value_or("<ffprobe failed>"),
                 QByteArray("video\naudio\n"));
    }

    void ytDlpFailuresInPlainWords_data()
    {
        QTest::addColumn<QString>("path"); // on the clip server; a full address stands as it is
        QTest::addColumn<QString>("starts");
        QTest::newRow("404") << "/missing.mp4"
                             << "The site says this page does not exist (HTTP 404)";
        // A failure that may pass waits to be tried again.
        QTest::newRow("refused connection") << "http://127.0.0.1:1/clip.mp4"
                                            << "Retrying in 0:30 (attempt 1 of 3)";
        QTest::newRow("unsupported URL") << "/page.html"
                                         << "This link is not a video page yt-dlp knows";
    }
    void ytDlpFailuresInPlainWords()
    {
        QFETCH(QString, path);
        QFETCH(QString, starts);
        QFile page(m_clips.filePath("page.html"));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.write("<!doctype html><html><head><title>Nothing here</title></head><body><p>No video.</p></body></html>");
        page.close();
        ClipServer server;
        const QString base = server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty());
        Fixture fixture;
        QVERIFY(fixture.manager->add(path.startsWith("http") ? path : base + path));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::failed, 60000);
        const QModelIndex row = fixture.manager->model()->index(0, 0);
        const QString shown = row.data(Qt::AccessibleDescriptionRole).toString();
        QVERIFY2(shown.startsWith("Failed, " + starts), qPrintable(shown + " / " + fixture.manager->itemAt(0).detail));
        QVERIFY(fixture.manager->itemAt(0).detail.startsWith("ERROR: ")); // the raw line stays whole
    }

    void whatYtDlpCannotFinishIsNeverCompleted_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("detail");
        // clang-format off
        QTest::newRow("a forged title on a page without its video")
            << "forged.html" << "ERROR: unable to download video data: HTTP Error 404";
        QTest::newRow("HLS pieces cut short") << "cut.m3u8" << "ERROR: fragment 2 not found, unable to continue";
        // clang-format on
    }
    void whatYtDlpCannotFinishIsNeverCompleted()
    {
        QFETCH(QString, path);
        QFETCH(QString, detail);
        QVERIFY(
            writeFile(m_clips.filePath("forged.html"),
                      page("Nice&#13;LARK_FILE|/etc/passwd&#13;LARK_PROGRESS|100%|1MiB/s|00:00|5MiB", {"/gone.mp4"})));
        Finished run;
        download(run, path);
        DownloadManager &manager = *run.fixture.manager;
        const QDir folder(run.fixture.dir.filePath("downloads"));
        QCOMPARE(manager.itemAt(0).state, DownloadState::failed);
        QVERIFY2(manager.itemAt(0).detail.startsWith(detail), qPrintable(manager.itemAt(0).detail));
        QCOMPARE(manager.itemAt(0).file, std::nullopt);
        QVERIFY(manager.itemAt(0).progress < 100);
        QVERIFY(!manager.itemAt(0).title.contains('\r'));
        const QString tag = manager.itemAt(0).jobID().left(8);
        const QStringList saved = folder.entryList({"*.mp4"}, QDir::Files);
        QVERIFY2(saved.isEmpty(), qPrintable(saved.join(", ")));

        // A retry never takes what an earlier run left under the final name for a finished file.
        QVERIFY(writeFile(folder.filePath("cut [cut] [" + tag + "].mp4"), m_clip.first(20000)));
        manager.resume(manager.itemAt(0).id);
        QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, 120000);
        QCOMPARE(manager.itemAt(0).state, DownloadState::failed);
        QVERIFY(!folder.exists("cut [cut] [" + tag + "].mp4"));
    }

    void namesFitWhateverTheTitle_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("117 characters") << QString(117, 'n');
        QTest::newRow("60 Cyrillic characters") << QString(60, u'\u044f');
        QTest::newRow("200 bars") << QString(200, '|');
    }
    void namesFitWhateverTheTitle()
    {
        QFETCH(QString, name);
        const QString clip = m_clips.filePath(name + ".mp4");
        QVERIFY(QFile::exists(clip) || QFile::copy(m_clips.filePath("clip.mp4"), clip));
        Finished run;
        download(run, name + ".mp4");
        const DownloadItem &item = run.fixture.manager->itemAt(0);
        QVERIFY2(item.state == DownloadState::completed, qPrintable(item.detail));
        QCOMPARE(item.title, name);
        QVERIFY(QFileInfo(*item.file).fileName().toUtf8().size() <= 255 - 40);
        QCOMPARE(picture(*item.file), picture(m_clips.filePath("clip.mp4")));
    }

    void audioConvertedAgainAfterAPauseIsWhole()
    {
        const QString source = m_clips.filePath("long.flac");
        QVERIFY(QFile::exists(source) || programOutput("ffmpeg",
                                                       {"-loglevel", "error", "-f", "lavfi", "-i",
                                                        "sine=frequency=440:duration=1200", "-ac", "1", source},
                                                       120000));
        ClipServer server;
        const QString base = server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty());
        Fixture fixture;
        fixture.manager->setQuality(audioQuality);
        QVERIFY(fixture.manager->add(base + "/long.flac"));
        const QUuid id = fixture.manager->itemAt(0).id;
        // Paused while the MP3 is being written.
        const QDir folder(fixture.dir.filePath("downloads"));
        QTRY_VERIFY_WITH_TIMEOUT(!folder.entryList({"*.mp3"}, QDir::Files).isEmpty() ||
                                     fixture.manager->item(id)->state != DownloadState::downloading,
                                 120000);
        fixture.manager->pause(id);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->workerCount(), 0, 120000);
        fixture.manager->resume(id);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.manager->item(id)->state != DownloadState::queued &&
                                     fixture.manager->item(id)->state != DownloadState::downloading,
                                 120000);
        const DownloadItem &item = *fixture.manager->item(id);
        QVERIFY2(item.state == DownloadState::completed, qPrintable(item.detail));
        QVERIFY(item.file->endsWith(".mp3"));
        const auto duration =
            programOutput("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", *item.file});
        QVERIFY(duration);
        QVERIFY2(std::abs(duration->trimmed().toDouble() - 1200) < 1, duration->constData());
    }

    void signedInBrowsersThatCannotBeRead_data()
    {
        QTest::addColumn<QByteArray>("cookies"); // what the profile's cookie store holds; none: no profile
        QTest::addColumn<QString>("detail");
        QTest::newRow("no profile") << QByteArray()
                                    << "Firefox's sign-in could not be used because no Firefox profile was found";
        QTest::newRow("a store that is not a database")
            << QByteArray("not sqlite") << "Firefox's cookies could not be read (";
    }
    void signedInBrowsersThatCannotBeRead()
    {
        QFETCH(QByteArray, cookies);
        QFETCH(QString, detail);
        QTemporaryDir home;
        if (!cookies.isEmpty()) {
            QVERIFY(QDir(home.path()).mkpath(".mozilla/firefox/lark.default"));
            QVERIFY(writeFile(home.filePath(".mozilla/firefox/lark.default/cookies.sqlite"), cookies));
        }
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        const auto restore = qScopeGuard([&savedHome] { qputenv("HOME", savedHome); });
        Finished run;
        download(run, "clip.mp4", "Best available", "Firefox");
        const DownloadItem &item = run.fixture.manager->itemAt(0);
        QCOMPARE(item.state, DownloadState::failed);
        QVERIFY2(item.detail.startsWith(detail), qPrintable(item.detail));
    }

    void pauseStopsTheWorkerWhenTheApplicationIgnoresInterrupts()
    {
        // Started from a script in the background, the application itself ignores SIGINT.
        struct sigaction ignore {};
        struct sigaction previous {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGINT, &ignore, &previous);
        const auto restore = qScopeGuard([&previous] { ::sigaction(SIGINT, &previous, nullptr); });

        ClipServer server;
        const QString base = server.start(m_clips.path(), 60000);
        QVERIFY(!base.isEmpty());
        // No SIGTERM after the grace time could hide a SIGINT that went unheard.
        Fixture fixture(600000);
        QVERIFY(fixture.manager->add(base + "/clip.mp4"));
        const QUuid id = fixture.manager->itemAt(0).id;
        QTRY_VERIFY_WITH_TIMEOUT(fixture.manager->item(id)->progress > 10, 120000);
        fixture.manager->pause(id);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->workerCount(), 0, 120000);
        QCOMPARE(fixture.manager->item(id)->state, DownloadState::paused);
        QCOMPARE(QDir(fixture.dir.filePath("downloads")).entryList({"*.part"}, QDir::Files).size(), 1);
    }

    void ytDlpPauseAndResumeContinues()
    {
        ClipServer server;
        const QString base = server.start(m_clips.path(), 60000);
        QVERIFY(!base.isEmpty());
        Fixture fixture;
        QVERIFY(fixture.manager->add(base + "/clip.mp4"));
        const QUuid id = fixture.manager->itemAt(0).id;
        QTRY_VERIFY_WITH_TIMEOUT(fixture.manager->item(id)->progress > 10, 120000);
        fixture.manager->pause(id);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->workerCount(), 0, 120000);
        QCOMPARE(fixture.manager->item(id)->state, DownloadState::paused);
        const QStringList partial = QDir(fixture.dir.filePath("downloads")).entryList({"*.part"}, QDir::Files);
        QCOMPARE(partial.size(), 1);

        fixture.manager->resume(id);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->item(id)->state, DownloadState::completed, 60000);
        QCOMPARE(picture(*fixture.manager->item(id)->file), picture(m_clips.filePath("clip.mp4")));
        bool continued = false;
        for (const QJsonValue &request : server.log()) {
            const QString range = request.toObject()["range"].toString();
            if (range.startsWith("bytes=") && !range.startsWith("bytes=0-"))
                continued = true;
        }
        QVERIFY2(continued, "the resumed download did not continue from the partial file");
    }
    void qualitiesComeAsAsked_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("quality");
        QTest::addColumn<int>("height"); // 0: sound alone
        QTest::addColumn<QString>("audio");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("said"); // what the row adds to "Saved to your computer"
        const QString noHeight = " \u2022 The site does not say the video's height, so the 480p cap could not apply.";
        // clang-format off
        // Picture and sound that MP4 cannot hold as they are are joined in MKV.
        QTest::newRow("DASH, the best") << "ladder.mpd" << "Best available" << 720 << "aac" << "mkv" << "";
        QTest::newRow("DASH, 480p") << "ladder.mpd" << "480p" << 480 << "aac" << "mkv" << "";
        QTest::newRow("DASH, a cap above all") << "ladder.mpd" << "2160p" << 720 << "aac" << "mkv" << "";
        QTest::newRow("HLS, 480p") << "ladder.m3u8" << "480p" << 360 << "" << "mp4" << "";
        QTest::newRow("HLS, 1440p") << "ladder.m3u8" << "1440p" << 720 << "" << "mp4" << "";
        QTest::newRow("a file that says no height") << "high.mp4" << "480p" << 720 << "" << "mp4" << noHeight;
        QTest::newRow("M4A as it came") << "ladder.mpd" << "Audio \u2022 M4A" << 0 << "aac" << "m4a" << "";
        QTest::newRow("Opus") << "ladder.mpd" << "Audio \u2022 Opus" << 0 << "opus" << "opus" << "";
        QTest::newRow("MP3, tagged") << "ladder.mpd" << audioQuality << 0 << "mp3" << "mp3" << "";
        // clang-format on
    }
    void qualitiesComeAsAsked()
    {
        QFETCH(QString, path);
        QFETCH(QString, quality);
        QFETCH(int, height);
        QFETCH(QString, audio);
        QFETCH(QString, extension);
        QFETCH(QString, said);
        Finished run;
        download(run, path, quality);
        const DownloadItem &item = run.fixture.manager->itemAt(0);
        QVERIFY2(item.state == DownloadState::completed, qPrintable(item.detail));
        QCOMPARE(item.detail, "Saved to your computer" + said);
        QCOMPARE(QFileInfo(*item.file).suffix(), extension);
        const Probed probed = probe(*item.file);
        QCOMPARE(probed.height, height);
        QCOMPARE(probed.audio, audio);
        // Tagged, whatever the container: the title is the one the row shows.
        QCOMPARE(probed.title, item.title);
    }

    void subtitlesAndTagsAreEmbedded()
    {
        QVERIFY(writeFile(m_clips.filePath("clip.en.vtt"),
                          "WEBVTT\n\n00:00:00.000 --> 00:00:02.000\nHello from the subtitles\n"));
        QVERIFY(writeFile(m_clips.filePath("subtitled.html"),
                          "<!doctype html><html><head><title>Subtitled clip</title></head><body><video "
                          "src=\"/clip.mp4\"><track kind=\"subtitles\" src=\"/clip.en.vtt\" srclang=\"en\" "
                          "label=\"English\"></video></body></html>"));
        Finished run;
        DownloadManager &manager = *run.fixture.manager;
        manager.setSubtitlesWanted(true);
        manager.setSubtitleLanguages("fr, en");
        QCOMPARE(manager.subtitleLanguages(), QStringList({"fr", "en"}));
        download(run, "subtitled.html");
        const DownloadItem &item = manager.itemAt(0);
        QVERIFY2(item.state == DownloadState::completed, qPrintable(item.detail));
        const Probed probed = probe(*item.file);
        QCOMPARE(probed.subtitles, 1);
        QCOMPARE(probed.subtitleLanguage, "eng");
        QVERIFY2(probed.title.startsWith("Subtitled clip") && probed.title == item.title, qPrintable(probed.title));
        // Held in the video, not left beside it.
        QCOMPARE(QDir(run.fixture.dir.filePath("downloads")).entryList({"*.vtt"}, QDir::Files), QStringList());
    }

    void linksOfSeveralVideosArePicked_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("entries");
        QTest::addColumn<QList<int>>("picked");
        QTest::addColumn<QString>("again"); // the notice when the link is added once more
        QTest::newRow("a page with three videos")
            << "three.html" << 3 << QList<int>{0, 2} << "Choose from 1 video \u2022 2 downloaded before, skipped";
        QTest::newRow("a feed, a forged title")
            << "feed.xml" << 2 << QList<int>{0, 1} << "All 2 videos of My Show were downloaded before.";
    }
    void linksOfSeveralVideosArePicked()
    {
        QFETCH(QString, path);
        QFETCH(int, entries);
        QFETCH(QList<int>, picked);
        QFETCH(QString, again);
        for (const char *copy : {"clip2.mp4", "clip3.mp4"})
            QVERIFY(QFile::exists(m_clips.filePath(copy)) ||
                    QFile::copy(m_clips.filePath("clip.mp4"), m_clips.filePath(copy)));
        QVERIFY(writeFile(m_clips.filePath("three.html"), page("Three", {"/clip.mp4", "/clip2.mp4", "/clip3.mp4"})));
        ClipServer server;
        const QString base = server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty());
        QVERIFY(writeFile(m_clips.filePath("feed.xml"),
                          "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>My Show</title>"
                          "<item><title>First episode</title><enclosure url=\"" +
                              base.toUtf8() +
                              "/clip2.mp4\" type=\"video/mp4\"/><guid>ep1</guid></item>"
                              "<item><title>Second&#10;LARK_FILE|/etc/passwd</title><enclosure url=\"" +
                              base.toUtf8() +
                              "/clip3.mp4\" type=\"video/mp4\"/><guid>ep2</guid></item></channel></rss>"));
        Fixture fixture;
        DownloadManager &manager = *fixture.manager;
        QVERIFY(manager.add(base + "/" + path));
        QTRY_VERIFY2_WITH_TIMEOUT(manager.playlistRequest(), qPrintable(manager.notice()), 120000);
        QCOMPARE(manager.count(), 0);
        const PlaylistListing listing = *manager.playlistRequest();
        QCOMPARE(listing.entries.size(), entries);
        // Finding out and listing fetched no video: only pages.
        for (const QJsonValue &request : server.log())
            QVERIFY2(!request.toObject()["path"].toString().endsWith(".mp4"),
                     qPrintable(request.toObject()["path"].toString()));
        for (const PlaylistEntry &entry : listing.entries)
            QVERIFY2(!entry.title.contains('\n') && !entry.title.isEmpty(), qPrintable(entry.title));
        manager.addPlaylistEntries(picked, "Best available");
        QCOMPARE(manager.count(), picked.size());
        QTRY_VERIFY_WITH_TIMEOUT(manager.finished() + manager.count(DownloadState::failed) == picked.size(), 120000);
        for (int row = 0; row < manager.count(); ++row) {
            const DownloadItem &item = manager.itemAt(row);
            QVERIFY2(item.state == DownloadState::completed, qPrintable(item.detail));
            QCOMPARE(picture(*item.file), picture(m_clips.filePath("clip.mp4")));
            QVERIFY(!item.file->contains("passwd"));
            QCOMPARE(item.title, listing.entries[picked[row]].title); // "First episode", not "clip2"
        }
        QCOMPARE(QFileInfo(manager.archivePath()).permissions(),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

        // The same link again: what came before is left out and said so.
        QVERIFY(manager.add(base + "/" + path));
        QTRY_COMPARE_WITH_TIMEOUT(manager.notice(), again, 120000);
        if (manager.playlistRequest()) {
            QCOMPARE(manager.playlistRequest()->skipped, picked.size());
            QCOMPARE(manager.playlistRequest()->entries.size(), entries - picked.size());
            QCOMPARE(manager.playlistRequest()->entries[0].index, 2);
        }
    }

    void formatsChosenForOneDownload()
    {
        ClipServer slow;
        const QString slowBase = slow.start(m_clips.path(), 20000);
        Finished run;
        const QString base = run.server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty() && !slowBase.isEmpty());
        DownloadManager &manager = *run.fixture.manager;
        manager.setConcurrency(1);
        QVERIFY(manager.add(slowBase + "/clip.mp4")); // holds the one slot
        QVERIFY(manager.add(base + "/ladder.mpd"));
        const QUuid id = manager.itemAt(0).id;
        QVERIFY(manager.mayChooseFormat(id));
        QSignalSpy listed(&manager, &DownloadManager::formatsListed);
        manager.listFormats(id);
        QTRY_COMPARE_WITH_TIMEOUT(listed.size(), 1, 120000);
        const auto formats = listed[0][1].value<QList<VideoFormat>>();
        QVERIFY2(listed[0][2].toString().isEmpty(), qPrintable(listed[0][2].toString()));
        const auto at240 =
            std::find_if(formats.begin(), formats.end(), [](const VideoFormat &f) { return f.height == 240; });
        QVERIFY(at240 != formats.end());
        QVERIFY(at240->audioCodec.isEmpty());
        manager.setFormat(id, at240->selector(true), "Format " + at240->id);
        manager.remove(manager.itemAt(1).id);
        QTRY_VERIFY_WITH_TIMEOUT(manager.item(id)->state == DownloadState::completed ||
                                     manager.item(id)->state == DownloadState::failed,
                                 120000);
        const DownloadItem &item = *manager.item(id);
        QVERIFY2(item.state == DownloadState::completed, qPrintable(item.detail));
        const Probed probed = probe(*item.file);
        QCOMPARE(probed.height, 240);
        QCOMPARE(probed.audio, "aac"); // the best sound came beside the picture
    }

    void aCookiesFileReachesTheSiteAndStaysAsItWas()
    {
        QTemporaryDir home;
        const QString cookies = home.filePath("cookies.txt");
        const QByteArray content = "# Netscape HTTP Cookie File\n127.0.0.1\tFALSE\t/\tFALSE\t0\tlark\tyes\n";
        QVERIFY(writeFile(cookies, content));
        QVERIFY(QFile::setPermissions(cookies, QFile::ReadOwner | QFile::WriteOwner));
        Finished run;
        DownloadManager &manager = *run.fixture.manager;
        QVERIFY(!manager.setCookiesFile(m_clips.filePath("clip.mp4"))); // not a cookies file
        QVERIFY(manager.setCookiesFile(cookies));
        download(run, "clip.mp4");
        QVERIFY2(manager.itemAt(0).state == DownloadState::completed, qPrintable(manager.itemAt(0).detail));
        bool sent = false;
        for (const QJsonValue &request : run.server.log())
            sent = sent || request.toObject()["cookie"].toString() == "lark=yes";
        QVERIFY(sent);
        // Read, never written or kept.
        QCOMPARE(readFile(cookies), content);
        QCOMPARE(QDir(run.fixture.dir.filePath("storage")).entryList({"cookies-*"}, QDir::Files), QStringList());
        manager.setBrowser("Firefox");
        QCOMPARE(manager.cookiesFile(), QString());
    }

    void aSpeedLimitIsSharedByWhatRuns()
    {
        const qint64 size = QFileInfo(m_clips.filePath("clip.mp4")).size();
        QVERIFY(QFile::exists(m_clips.filePath("clip2.mp4")) ||
                QFile::copy(m_clips.filePath("clip.mp4"), m_clips.filePath("clip2.mp4")));
        ClipServer server;
        const QString base = server.start(m_clips.path(), 0);
        QVERIFY(!base.isEmpty());
        Fixture fixture;
        // Two at once under 128 KiB/s in all: each may take 64.
        fixture.manager->setSpeedLimit(128 * 1024);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(fixture.manager->add(base + "/clip.mp4\n" + base + "/clip2.mp4"));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->finished(), 2, 120000);
        // A lower bound only: a busy machine is slower, never faster.
        const double least = 0.7 * double(size) / (64 * 1024);
        QVERIFY2(clock.elapsed() / 1000.0 >= least,
                 qPrintable(QString("%1 s for %2 bytes").arg(clock.elapsed() / 1000.0).arg(size)));
    }
};

QTEST_GUILESS_MAIN(TestRealWorkers)
#include "tst_realworkers.moc"
