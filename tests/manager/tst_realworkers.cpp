// The manager with the workers users have: the real lark-mega against the
// MEGA emulator, and Debian's yt-dlp against a local HTTP server.
#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "tests/support/ClipServer.h"
#include "tests/support/MegaEmulator.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

struct Fixture {
    explicit Fixture(int stopGraceMs = 5000)
    {
        settings = std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = dir.filePath("storage");
        options.settings = settings.get();
        options.toolDirectory = QFileInfo(toolPath()).absolutePath();
        options.stopGraceMs = stopGraceMs;
        manager = std::make_unique<DownloadManager>(options);
        manager->setFolder(dir.filePath("downloads"));
    }
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<DownloadManager> manager;
};

} // namespace

class TestRealWorkers : public QObject {
    Q_OBJECT

private:
    MegaEmulator m_emulator;
    QTemporaryDir m_clips;
    QByteArray m_clip;

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
        QCOMPARE(item.size, "3.0 MiB");
    }

    void megaQuotaShowsWhenItResets()
    {
        QTemporaryDir sources;
        QFile source(sources.filePath("source"));
        QVERIFY(source.open(QIODevice::WriteOnly) && source.write(QByteArray(1000, 'x')) == 1000);
        source.close();
        const QJsonObject file = m_emulator.addFile(source.fileName(), "quota.mkv");
        m_emulator.setFaults({{"range", QJsonObject{{"status", 509}, {"timeLeft", 2520}, {"count", 1}}}});
        const auto clear = qScopeGuard([this] { m_emulator.setFaults({{"range", QJsonObject{{"count", 0}}}}); });

        Fixture fixture;
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY(fixture.manager->add(file["link"].toString()));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.manager->itemAt(0).state, DownloadState::failed, 120000);
        const QDateTime after = QDateTime::currentDateTime();
        const QString detail = fixture.manager->itemAt(0).detail;
        QStringList clocks; // the reset time as the row had it when the line came
        for (QDateTime at = before.addSecs(2520); at <= after.addSecs(2580); at = at.addSecs(60))
            clocks.append(at.toString("HH:mm"));
        QVERIFY2(
            detail.startsWith("ERROR: MEGA transfer quota reached. Resume after the quota resets. Quota resets at "),
            qPrintable(detail));
        QVERIFY2(clocks.contains(detail.right(6).left(5)), qPrintable(detail + " / " + clocks.join(' ')));
        const QString shown = fixture.manager->model()->index(0, 0).data(Qt::AccessibleDescriptionRole).toString();
        QVERIFY2(shown.startsWith("Failed, MEGA's transfer quota") && shown.endsWith(detail.right(23)),
                 qPrintable(shown));
        // Nothing resumes by itself.
        QTest::qWait(300);
        QCOMPARE(fixture.manager->itemAt(0).state, DownloadState::failed);
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
        const QString handle = share["handles"]["clip"].toString();
        QCOMPARE(fixture.manager->itemAt(0).file, fixture.dir.filePath("downloads/clip [" + handle + "].mp4"));
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
        QCOMPARE(readFile(*item.file), m_clip);
        QVERIFY(std::any_of(progress.begin(), progress.end(), [](double p) { return p > 0 && p < 100; }));
    }

    void ytDlpFailuresInPlainWords_data()
    {
        QTest::addColumn<QString>("path"); // on the clip server; a full address stands as it is
        QTest::addColumn<QString>("starts");
        QTest::newRow("404") << "/missing.mp4"
                             << "The site says this page does not exist (HTTP 404)";
        QTest::newRow("refused connection") << "http://127.0.0.1:1/clip.mp4"
                                            << "The connection to the site failed";
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
        QCOMPARE(readFile(*fixture.manager->item(id)->file), m_clip);
        bool continued = false;
        for (const QJsonValue &request : server.log()) {
            const QString range = request.toObject()["range"].toString();
            if (range.startsWith("bytes=") && !range.startsWith("bytes=0-"))
                continued = true;
        }
        QVERIFY2(continued, "the resumed download did not continue from the partial file");
    }
};

QTEST_GUILESS_MAIN(TestRealWorkers)
#include "tst_realworkers.moc"
