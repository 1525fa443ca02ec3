// The desktop's services, on private buses: revealing a download asks the
// file manager and falls back to opening the folder; logind is asked to keep
// the machine awake while downloads run.
#include "app/manager/DownloadManager.h"
#include "app/manager/SleepInhibitor.h"
#include "tests/support/DesktopStandIns.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestReveal : public QObject {
    Q_OBJECT

private:
    PrivateSessionBus m_bus;
    PrivateSessionBus m_systemBus;
    FakeLogin m_login;
    QTemporaryDir m_dir;
    FakeFileManager m_fileManager;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<DownloadManager> m_manager;

    QStringList opened() const { return openedByRecordingOpener(m_dir.path()); }

    DownloadItem completedItem(const QString &file) const
    {
        DownloadItem item("https://example.com/v", "v", m_dir.filePath("downloads"), "Best available", "None");
        item.state = DownloadState::completed;
        item.file = file;
        return item;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!m_bus.start().isEmpty());
        QVERIFY(!m_systemBus.start(true).isEmpty());
        QVERIFY(m_login.publish(QDBusConnection::systemBus()));
        QVERIFY(installRecordingOpener(m_dir.path()));

        m_settings = std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = m_dir.filePath("storage");
        options.settings = m_settings.get();
        options.toolDirectory = m_dir.filePath("tools");
        m_manager = std::make_unique<DownloadManager>(options);
    }

    void cleanupTestCase() { m_manager.reset(); }

    void showsTheFileInTheFileManager()
    {
        QVERIFY(m_fileManager.publish(QDBusConnection::sessionBus()));
        QFile file(m_dir.filePath("clip.mp4"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        m_manager->reveal(completedItem(file.fileName()));
        QTRY_COMPARE(m_fileManager.shown.size(), 1);
        QCOMPARE(m_fileManager.shown.first(), QStringList{"file://" + file.fileName()});
        QTest::qWait(100);
        QCOMPARE(opened(), QStringList());
    }

    void opensTheFolderWhenTheFileIsGone()
    {
        m_manager->reveal(completedItem(m_dir.filePath("deleted.mp4")));
        QTRY_COMPARE(opened(), QStringList{"file://" + m_dir.filePath("downloads")});
        QCOMPARE(m_fileManager.shown.size(), 1);
        QFile::remove(m_dir.filePath("opened"));
    }

    void opensTheFolderWhenNoFileManagerAnswers()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.unregisterService("org.freedesktop.FileManager1"));
        QFile file(m_dir.filePath("clip.mp4"));
        m_manager->reveal(completedItem(file.fileName()));
        QTRY_COMPARE(opened(), QStringList{"file://" + m_dir.filePath("downloads")});
    }

    void theMachineStaysAwakeWhileDownloadsRun()
    {
        // Another connection than the fake's own, as the application's would be.
        QDBusConnection bus = QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS"), "app");
        SleepInhibitor inhibitor(bus);
        inhibitor.setWanted(true);
        inhibitor.setWanted(true); // asked once
        QTRY_VERIFY(inhibitor.isHeld());
        QCOMPARE(m_login.asked,
                 QList<QStringList>{QStringList({"sleep:idle", "Lark Downloader", "Downloads are running", "block"})});
        QCOMPARE(m_login.held(), 1);
        inhibitor.setWanted(false);
        QTRY_COMPARE(m_login.held(), 0);
        // Let go before logind answered: the hold that comes is not kept.
        inhibitor.setWanted(true);
        inhibitor.setWanted(false);
        QTRY_COMPARE(m_login.asked.size(), 2);
        QTest::qWait(100);
        QCOMPARE(m_login.held(), 0);
        QVERIFY(!inhibitor.isHeld());

        // The manager holds it while an item downloads.
        m_manager->add("https://example.com/awake");
        const QUuid id = m_manager->itemAt(0).id;
        m_manager->change(id, [](DownloadItem &item) { item.state = DownloadState::downloading; });
        QTRY_COMPARE(m_login.held(), 1);
        m_manager->change(id, [](DownloadItem &item) { item.state = DownloadState::paused; });
        QTRY_COMPARE(m_login.held(), 0);
        m_manager->remove(id);
        QDBusConnection::disconnectFromBus("app");
    }

    void failureIsTold_data()
    {
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QString>("notice");
        QTest::newRow("file") << true
                              << "Could not show the file: no file manager answered and xdg-open exited "
                                 "with status 3.";
        QTest::newRow("folder") << false << "Could not open the download folder: xdg-open exited with status 3.";
    }
    void failureIsTold()
    {
        QFETCH(bool, fileExists);
        QFETCH(QString, notice);
        // No file manager on the bus, and an opener that fails as xdg-open does without a handler.
        QFile opener(m_dir.filePath("xdg-open"));
        QVERIFY(opener.open(QIODevice::WriteOnly | QIODevice::Truncate));
        opener.write("#!/bin/sh\nexit 3\n");
        opener.close();
        QFile file(m_dir.filePath("clip.mp4"));
        if (fileExists) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
        } else {
            file.remove();
        }
        m_manager->reveal(completedItem(file.fileName()));
        QTRY_COMPARE(m_manager->notice(), notice);
    }
};

QTEST_GUILESS_MAIN(TestReveal)
#include "tst_reveal.moc"
