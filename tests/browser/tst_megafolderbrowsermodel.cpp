#include "app/browser/MegaFolderBrowserModel.h"
#include "app/manager/DownloadManager.h"
#include "tests/support/EventLoopWait.h"
#include "tests/support/MegaEmulator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

namespace {

const QString key = "bqYT8Zdz0BGhr4DVR5LW4w";
const QString fileKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";

QString folderLink(const QString &handle)
{
    return "https://mega.nz/folder/" + handle + "#" + key;
}

MegaFolderNode folder(const QString &id, const QString &parent, const QString &name)
{
    return {id, parent.isEmpty() ? std::nullopt : std::optional(parent), name, true, 0, {}};
}

MegaFolderNode file(const QString &id, const QString &parent, const QString &name, qint64 size = 1000)
{
    return {id, parent, name, false, size, *MegaFileKey::fromText(fileKey.toUtf8())};
}

// Share / Season 2 / Extras, with videos and other files at each level.
MegaFolderListing sampleListing(std::optional<QString> initialFile = std::nullopt)
{
    MegaFolderListing listing;
    listing.sourceURL = folderLink("LISTINGS");
    listing.shareHandle = "LISTINGS";
    listing.rootID = "rootnode";
    listing.initialFolderID = "rootnode";
    listing.initialFileID = initialFile;
    listing.nodes = {
        folder("rootnode", {}, "Share"),
        folder("seasonII", "rootnode", "Season 2"),
        folder("extrasss", "seasonII", "Extras"),
        file("clip0002", "rootnode", "clip 2.mp4", 2000),
        file("clip0010", "rootnode", "Clip 10.mkv", 3000),
        file("readme00", "rootnode", "readme.txt", 10),
        file("episode9", "seasonII", "Episode 9.mp4"),
        file("notes000", "seasonII", "notes.pdf"),
        file("making00", "extrasss", "making of.mov"),
    };
    if (initialFile == QString("notes000") || initialFile == QString("episode9"))
        listing.initialFolderID = "seasonII";
    return listing;
}

template <typename Nodes>
QStringList ids(const Nodes &nodes)
{
    QStringList result;
    for (const MegaFolderNode &node : nodes)
        result.append(node.id);
    return result;
}

} // namespace

class TestMegaFolderBrowserModel : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_lister;

    void writeListing(const MegaFolderListing &listing)
    {
        QFile file(m_dir.filePath("listing.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(listing.toJsonText());
    }
    QStringList lines(const char *name) const
    {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
                                              : QStringList();
    }
    std::unique_ptr<MegaFolderBrowserModel> loaded(const QString &handle)
    {
        auto model = std::make_unique<MegaFolderBrowserModel>(folderLink(handle), m_lister);
        model->load();
        return model;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("FAKE_LISTER_DIR", m_dir.path().toUtf8());
        qputenv("LISTING_CAP", QByteArray::number(MegaFolderBrowserModel::maxListingBytes));
        m_lister = m_dir.filePath("lark-mega");
        QVERIFY(QFile::copy(QFINDTESTDATA("fake-lister.sh"), m_lister));
        writeListing(sampleListing());
    }

    void init()
    {
        QFile::remove(m_dir.filePath("runs"));
        QFile::remove(m_dir.filePath("terminated"));
        writeListing(sampleListing());
    }

    void opensAListing()
    {
        auto model = loaded("LISTINGS");
        QVERIFY(model->isLoading());
        QTRY_VERIFY(!model->isLoading());
        QCOMPARE(model->error(), QString());
        QVERIFY(model->tree());
        QCOMPARE(model->currentFolder(), "rootnode");
        QVERIFY(model->videosOnly() && model->recursive() && !model->selectedOnly());
        QCOMPARE(ids(model->visibleFiles()), QStringList({"clip0002", "clip0010", "episode9", "making00"}));
        QCOMPARE(ids(model->folders()), QStringList{"seasonII"});
        QCOMPARE(ids(model->breadcrumbs()), QStringList{"rootnode"});
        QCOMPARE(lines("runs").size(), 1);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("error");
        // clang-format off
        QTest::newRow("bad link") << "https://mega.nz/folder/short#" + key << "Invalid MEGA folder or file identifier.";
        QTest::newRow("error line") << folderLink("ERRORMSG") << "The MEGA link was removed.";
        QTest::newRow("text before the error") << folderLink("PREFIXED") << "Could not fetch the folder. Check your connection and try again.";
        QTest::newRow("silent failure") << folderLink("SILENTNZ") << "Could not fetch the folder. Check your connection and try again.";
        QTest::newRow("extra output") << folderLink("EXTRAOUT") << "Could not read the MEGA file list. Please fetch the folder again.";
        QTest::newRow("over the cap") << folderLink("OVERCAPS") << "This MEGA folder listing is too large to open in this version.";
        // clang-format on
    }
    void failures()
    {
        QFETCH(QString, link);
        QFETCH(QString, error);
        MegaFolderBrowserModel model(link, m_lister);
        model.setSearch("kept");
        model.setRecursive(false);
        QSignalSpy loading(&model, &MegaFolderBrowserModel::isLoadingChanged);
        model.load();
        QVERIFY(waitInEventLoop([&model] { return !model.isLoading() && !model.error().isEmpty(); }, 120000));
        QCOMPARE(model.error(), error);
        QVERIFY(!model.tree());
        QVERIFY(model.visibleFiles().isEmpty());
        QCOMPARE(model.search(), "kept");
        QVERIFY(!model.recursive());
        if (link.contains("short")) {
            QCOMPARE(loading.size(), 0); // never loading, nothing started
            QVERIFY(lines("runs").isEmpty());
        }
        // A tool that goes on past the cap is stopped, not waited for.
        QCOMPARE(lines("terminated").size(), link.contains("OVERCAPS") ? 1 : 0);
    }

    void listingOfExactlyTheCapIsRead()
    {
        auto model = loaded("EXACTCAP");
        QVERIFY(waitInEventLoop([&model] { return !model->isLoading(); }, 120000));
        QCOMPARE(model->error(), QString());
        QVERIFY(model->tree());
    }

    void toolThatCannotStart()
    {
        MegaFolderBrowserModel model(folderLink("LISTINGS"), m_dir.filePath("missing/lark-mega"));
        model.load();
        QTRY_VERIFY(!model.isLoading());
        QVERIFY2(model.error().startsWith("Could not start the MEGA folder browser: "), qPrintable(model.error()));
    }

    void refreshDuringAFetchIgnoresTheOldOne()
    {
        MegaFolderBrowserModel model(folderLink("SLEEPING"), m_lister);
        model.load();
        QTRY_COMPARE(lines("runs").size(), 1);
        const QString first = lines("runs").first().section(' ', 0, 0);
        model.load();
        QTRY_COMPARE(lines("terminated"), QStringList{first});
        QVERIFY(model.isLoading());
        QTest::qWait(100);
        QVERIFY(model.isLoading());
        QCOMPARE(model.error(), QString()); // the old fetch's exit changed nothing
        model.cancel();
        QVERIFY(!model.isLoading());
        QTRY_COMPARE(lines("terminated").size(), 2);
    }

    void closingDuringAFetchTerminatesTheTool()
    {
        {
            MegaFolderBrowserModel model(folderLink("SLEEPING"), m_lister);
            model.load();
            QTRY_COMPARE(lines("runs").size(), 1);
        }
        QTRY_COMPARE(lines("terminated").size(), 1);
    }

    void quittingDuringAFetchDoesNotHoldTheEnd()
    {
        // The application waits for its worker threads as it ends, a browser still loading or not.
        MegaFolderBrowserModel model(folderLink("SLEEPING"), m_lister);
        model.load();
        QTRY_COMPARE(lines("runs").size(), 1);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        QCoreApplication::exec();
        QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    }

    void lateResultOfACancelledFetchIsIgnored()
    {
        MegaFolderBrowserModel model(folderLink("SLOWLIST"), m_lister);
        model.load();
        model.cancel();
        QTest::qWait(900);
        QVERIFY(!model.tree());
        QVERIFY(!model.isLoading());
        QCOMPARE(model.error(), QString());
    }

    void initialFile_data()
    {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<bool>("videosOnly");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("chosen");
        // clang-format off
        QTest::newRow("video") << "episode9" << true << "seasonII" << QStringList{"episode9"};
        QTest::newRow("not a video") << "notes000" << false << "seasonII" << QStringList{"notes000"};
        QTest::newRow("names a folder") << "extrasss" << false << "rootnode" << QStringList{};
        // clang-format on
    }
    void initialFile()
    {
        QFETCH(QString, initial);
        QFETCH(bool, videosOnly);
        QFETCH(QString, folder);
        QFETCH(QStringList, chosen);
        writeListing(sampleListing(initial));
        auto model = loaded("LISTINGS");
        QTRY_VERIFY(model->tree());
        QCOMPARE(model->videosOnly(), videosOnly);
        QCOMPARE(model->currentFolder(), folder);
        QCOMPARE(model->selected(), QSet<QString>{initial});
        QCOMPARE(ids(model->chosenFiles()), chosen);
    }

    void navigationResetsShowSelectedAndSearch()
    {
        auto model = loaded("LISTINGS");
        QTRY_VERIFY(model->tree());
        model->toggle("clip0002");
        model->setSearch("clip");
        model->setSelectedOnly(true);
        QCOMPARE(ids(model->visibleFiles()), QStringList{"clip0002"});
        QVERIFY(model->folders().isEmpty());
        model->toggle("clip0002");
        QVERIFY(model->visibleFiles().isEmpty()); // removed at once

        model->navigate("seasonII");
        QCOMPARE(model->currentFolder(), "seasonII");
        QVERIFY(!model->selectedOnly());
        QCOMPARE(model->search(), QString());
        QCOMPARE(ids(model->visibleFiles()), QStringList({"episode9", "making00"}));
        QCOMPARE(ids(model->breadcrumbs()), QStringList({"rootnode", "seasonII"}));
        model->navigate("episode9"); // a file: nothing happens
        model->navigate("nowhere0");
        QCOMPARE(model->currentFolder(), "seasonII");
    }

    void filters()
    {
        auto model = loaded("LISTINGS");
        QTRY_VERIFY(model->tree());
        model->setVideosOnly(false);
        model->setRecursive(false);
        QCOMPARE(ids(model->visibleFiles()), QStringList({"clip0002", "clip0010", "readme00"}));
        model->setRecursive(true);
        model->setSearch("extras");
        QCOMPARE(ids(model->visibleFiles()), QStringList{"making00"});
    }

    void largeListingsAreSearchedInTheBackground()
    {
        MegaFolderListing listing = sampleListing();
        for (int i = 0; i < MegaFolderBrowserModel::backgroundSearchNodes; ++i)
            listing.nodes.append(
                file(QString("f%1").arg(i, 7, 10, QChar('0')), "rootnode", QString("video %1.mp4").arg(i)));
        writeListing(listing);
        auto model = loaded("LISTINGS");
        QTRY_VERIFY_WITH_TIMEOUT(model->tree() && model->visibleFiles().size() > 4, 60000);
        QCOMPARE(model->visibleFiles().size(), MegaFolderBrowserModel::backgroundSearchNodes + 4);
        // Keystrokes return at once; what is shown is the last search, never one it replaced.
        QSignalSpy shown(model.get(), &MegaFolderBrowserModel::visibleFilesChanged);
        for (const char *search : {"video 1", "video 12", "video 123", "video 1234"}) {
            model->setSearch(search);
            QCOMPARE(model->visibleFiles().size(), MegaFolderBrowserModel::backgroundSearchNodes + 4);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ids(model->visibleFiles()),
                                  QStringList({"f0001234", "f0012340", "f0012341", "f0012342", "f0012343", "f0012344",
                                               "f0012345", "f0012346", "f0012347", "f0012348", "f0012349"}),
                                  60000);
        QTest::qWait(200);
        QCOMPARE(shown.size(), 1);
        // Chosen during a search, what is chosen is what that search finds.
        model->setSearch("video 4999");
        model->selectVisible();
        QCOMPARE(model->selected(),
                 QSet<QString>({"f0004999", "f0049990", "f0049991", "f0049992", "f0049993", "f0049994", "f0049995",
                                "f0049996", "f0049997", "f0049998", "f0049999"}));
    }

    void selectVisibleWithASearch()
    {
        auto model = loaded("LISTINGS");
        QTRY_VERIFY(model->tree());
        model->navigate("seasonII");
        model->toggle("notes000");
        model->navigate("rootnode");
        model->setSearch("clip");
        model->selectVisible();
        QCOMPARE(model->selected(), QSet<QString>({"notes000", "clip0002", "clip0010"}));
        QCOMPARE(ids(model->chosenFiles()), QStringList({"clip0002", "clip0010", "notes000"}));
        QCOMPARE(model->selectedBytes(), 6000);
        QCOMPARE(model->selectedSize(), "6.0 kB");
        model->setSelected({});
        QCOMPARE(model->selectedSize(), "0 bytes");
    }

    void selectedSizeSaturates()
    {
        MegaFolderListing listing = sampleListing();
        listing.nodes.append(file("huge0001", "rootnode", "huge 1.mp4", std::numeric_limits<qint64>::max() - 5));
        listing.nodes.append(file("huge0002", "rootnode", "huge 2.mp4", 100));
        listing.nodes.append(file("negative", "rootnode", "negative.mp4", -50));
        writeListing(listing);
        auto model = loaded("LISTINGS");
        QTRY_VERIFY(model->tree());
        model->setSelected({"huge0001", "huge0002", "negative", "seasonII", "missing0"});
        QCOMPARE(model->selectedBytes(), std::numeric_limits<qint64>::max());
        QCOMPARE(ids(model->chosenFiles()), QStringList({"huge0001", "huge0002", "negative"}));
    }

    void realToolAndManager()
    {
        MegaEmulator emulator;
        const QString error = emulator.start();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QTemporaryDir sources;
        const auto source = [&sources](const char *name, int size) {
            QFile data(sources.filePath(name));
            data.open(QIODevice::WriteOnly);
            data.write(QByteArray(size, name[0]));
            return data.fileName();
        };
        const QJsonObject share = emulator.addShare({
            QJsonObject{{"id", "root"}, {"type", "folder"}, {"name", "Trip"}},
            QJsonObject{{"id", "day1"}, {"type", "folder"}, {"name", "Day 1"}, {"parent", "root"}},
            QJsonObject{{"id", "night"}, {"type", "folder"}, {"name", "Night"}, {"parent", "day1"}},
            QJsonObject{{"id", "a"},
                        {"type", "file"},
                        {"name", "arrival.mp4"},
                        {"parent", "day1"},
                        {"path", source("a", 5000)}},
            QJsonObject{
                {"id", "b"}, {"type", "file"}, {"name", "beach.mkv"}, {"parent", "night"}, {"path", source("b", 7000)}},
            QJsonObject{{"id", "c"},
                        {"type", "file"},
                        {"name", "captions.srt"},
                        {"parent", "night"},
                        {"path", source("c", 90)}},
        });
        MegaFolderBrowserModel model(share["link"].toString(), toolPath());
        model.load();
        QTRY_VERIFY_WITH_TIMEOUT(model.tree(), 120000);
        QCOMPARE(model.breadcrumbs().first().name, "Trip");
        QCOMPARE(model.visibleFiles().size(), 2); // the two videos, from every level
        model.navigate(share["handles"]["day1"].toString());
        model.setRecursive(false);
        QCOMPARE(model.visibleFiles().size(), 1);
        model.setRecursive(true);
        model.selectVisible();
        QCOMPARE(model.chosenFiles().size(), 2);

        QTemporaryDir storage;
        QSettings settings(storage.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = storage.filePath("history");
        options.settings = &settings;
        options.toolDirectory = QFileInfo(toolPath()).absolutePath();
        DownloadManager manager(options);
        manager.setFolder(storage.filePath("downloads"));
        manager.addMegaFiles(model.chosenFiles(), model.tree()->listing());
        QCOMPARE(manager.notice(), "Added 2 selected MEGA files to the queue");
        QTRY_COMPARE_WITH_TIMEOUT(manager.finished(), 2, 120000);
        // Under the folders they are in, with their own names.
        const QDir downloads(storage.filePath("downloads"));
        QVERIFY(QFileInfo(downloads.filePath("Trip/Day 1/arrival.mp4")).isFile());
        QVERIFY(QFileInfo(downloads.filePath("Trip/Day 1/Night/beach.mkv")).isFile());

        // Flattened when asked: straight into the download folder, a tag only on the name already there.
        manager.setKeepsMegaFolders(false);
        manager.addMegaFiles(model.chosenFiles(), model.tree()->listing());
        QTRY_COMPARE_WITH_TIMEOUT(manager.finished(), 4, 120000);
        const QString beachHandle = share["handles"]["b"].toString();
        QCOMPARE(downloads.entryList(QDir::Files), QStringList({"arrival.mp4", "beach.mkv"}));
        manager.addMegaFiles(model.chosenFiles(), model.tree()->listing());
        QTRY_COMPARE_WITH_TIMEOUT(manager.finished(), 6, 120000);
        QVERIFY(QFileInfo(downloads.filePath("beach [" + beachHandle + "].mkv")).isFile());
    }
};

QTEST_GUILESS_MAIN(TestMegaFolderBrowserModel)
#include "tst_megafolderbrowsermodel.moc"
