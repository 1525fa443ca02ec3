// Revealing a download asks the file manager over a private session bus and
// falls back to opening the folder.
#include "app/manager/DownloadManager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shown;

public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        Q_UNUSED(startupId);
        shown.append(uris);
    }
};

class TestReveal : public QObject {
    Q_OBJECT

private:
    QProcess m_bus;
    QTemporaryDir m_dir;
    FakeFileManager m_fileManager;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<DownloadManager> m_manager;

    QStringList opened() const
    {
        QFile file(m_dir.filePath("opened"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
                                              : QStringList();
    }

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
        m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(m_bus.waitForStarted() && m_bus.waitForReadyRead(10000));
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        // A stand-in for xdg-open that notes what it was asked to open.
        QFile opener(m_dir.filePath("xdg-open"));
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
        opener.close();
        opener.setPermissions(opener.permissions() | QFile::ExeOwner);
        qputenv("PATH", m_dir.path().toUtf8() + ":" + qgetenv("PATH"));

        m_settings = std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = m_dir.filePath("storage");
        options.settings = m_settings.get();
        options.toolDirectory = m_dir.filePath("tools");
        m_manager = std::make_unique<DownloadManager>(options);
    }

    void cleanupTestCase()
    {
        m_manager.reset();
        m_bus.kill();
        m_bus.waitForFinished();
    }

    void showsTheFileInTheFileManager()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerObject("/org/freedesktop/FileManager1", &m_fileManager, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService("org.freedesktop.FileManager1"));
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
};

QTEST_GUILESS_MAIN(TestReveal)
#include "tst_reveal.moc"
