// A user's path through the real application window with the real workers:
// paste a link, download it, pause and resume, quit and start again.
#include "app/manager/DownloadListModel.h"
#include "app/ui/ContentView.h"
#include "app/ui/LarkApp.h"
#include "app/ui/MainWindow.h"
#include "tests/support/ClipServer.h"
#include "tests/support/MegaEmulator.h"
#include "tests/support/Programs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestUserPath : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QTemporaryDir m_clips;
    std::unique_ptr<QSettings> m_settings;

    std::unique_ptr<LarkApp> start()
    {
        m_settings = std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
        m_settings->setValue("folder", m_dir.filePath("downloads"));
        DownloadManager::Options options;
        options.storageDirectory = m_dir.filePath("storage");
        options.settings = m_settings.get();
        options.toolDirectory = QFileInfo(toolPath()).absolutePath();
        auto app = std::make_unique<LarkApp>(options);
        app->show();
        return app;
    }

    static void download(LarkApp &app, const QString &link)
    {
        app.window().content().setLinks(link);
        for (QPushButton *button : app.window().findChildren<QPushButton *>()) {
            if (button->text() == "Download")
                button->click();
        }
    }

private Q_SLOTS:
    void initTestCase()
    {
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg",
                     {"-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=duration=4:size=640x360:rate=25",
                      "-c:v", "mpeg4", "-q:v", "2", m_clips.filePath("clip.mp4")});
        QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);
    }

    void downloadPauseResumeQuitAndRestart()
    {
        ClipServer server;
        const QString base = server.start(m_clips.path(), 50000);
        QVERIFY(!base.isEmpty());
        QUuid first;
        {
            auto app = start();
            DownloadManager &manager = app->manager();
            download(*app, base + "/clip.mp4");
            QCOMPARE(manager.count(), 1);
            QVERIFY(app->window().content().links().isEmpty());
            first = manager.itemAt(0).id;
            QTRY_VERIFY_WITH_TIMEOUT(manager.item(first)->progress > 5, 120000);
            manager.pause(first);
            QTRY_COMPARE_WITH_TIMEOUT(manager.workerCount(), 0, 120000);
            manager.resume(first);
            QTRY_COMPARE_WITH_TIMEOUT(manager.item(first)->state, DownloadState::completed, 60000);
            QCOMPARE(picture(*manager.item(first)->file), picture(m_clips.filePath("clip.mp4")));

            // A second download is still running when the user quits.
            download(*app, base + "/clip.mp4?again");
            QTRY_VERIFY_WITH_TIMEOUT(manager.itemAt(0).progress > 1, 120000);
            app->aboutToQuit();
        }
        auto again = start();
        DownloadManager &restored = again->manager();
        QCOMPARE(restored.count(), 2);
        QCOMPARE(restored.item(first)->state, DownloadState::completed);
        QCOMPARE(restored.itemAt(0).state, DownloadState::paused);
        QCOMPARE(restored.itemAt(0).detail, "Paused \u2022 partial file kept for resume");
        restored.resume(restored.itemAt(0).id);
        QTRY_COMPARE_WITH_TIMEOUT(restored.itemAt(0).state, DownloadState::completed, 60000);
    }
};

QTEST_MAIN(TestUserPath)
#include "tst_userpath.moc"
