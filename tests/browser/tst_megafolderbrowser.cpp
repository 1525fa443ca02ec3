// The folder browser panel on a real X server.
#include "app/browser/MegaFolderBrowser.h"
#include "app/browser/MegaFolderBrowserModel.h"
#include "app/browser/MegaFolderEntries.h"
#include "app/manager/DownloadManager.h"
#include "app/theme/Theme.h"
#include "tests/support/Programs.h"
#include "tests/support/WidgetLookup.h"

#include <QAccessible>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

namespace {

const MegaFileKey fileKey = *MegaFileKey::fromText("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8");

MegaFolderListing listing(qint64 skipped, int moreFiles = 0)
{
    MegaFolderListing listing;
    listing.sourceURL = "https://mega.nz/folder/LISTINGS#bqYT8Zdz0BGhr4DVR5LW4w";
    listing.shareHandle = "LISTINGS";
    listing.rootID = "rootnode";
    listing.initialFolderID = "rootnode";
    listing.skippedNodes = skipped;
    listing.nodes = {
        {"rootnode", {}, "Summer trip", true, 0, {}},
        {"seasonII", "rootnode", "Day 2 \u2014 the coast", true, 0, {}},
        {"extrasss", "seasonII", "Drone", true, 0, {}},
        {"clip0002", "rootnode", "Arrival at the station.mp4", false, 182400000, fileKey},
        {"clip0010", "rootnode", "Clip 10.mkv", false, 1240000000, fileKey},
        {"readme00", "rootnode", "readme.txt", false, 1200, fileKey},
        {"episode9", "seasonII", "Sunset over the harbour, filmed from the old lighthouse at the end of the pier.mp4",
         false, 734000000, fileKey},
        {"making00", "extrasss", "Flight 3.mov", false, 2100000000, fileKey},
    };
    for (int i = 0; i < moreFiles; ++i)
        listing.nodes.append({QString("more%1").arg(i, 4, 10, QChar('0')), "rootnode", QString("Take %1.mp4").arg(i),
                              false, 1000 + i, fileKey});
    return listing;
}

} // namespace

class TestMegaFolderBrowser : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<DownloadManager> m_manager;

    void writeListing(qint64 skipped, int moreFiles = 0)
    {
        QFile file(m_dir.filePath("listing.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(listing(skipped, moreFiles).toJsonText());
    }

    std::unique_ptr<MegaFolderBrowser> opened(const QString &handle)
    {
        auto browser = std::make_unique<MegaFolderBrowser>(
            *m_manager, MegaFolderRequest("https://mega.nz/folder/" + handle + "#bqYT8Zdz0BGhr4DVR5LW4w"),
            m_dir.path());
        browser->show();
        return browser;
    }

    void screenshot(QWidget &widget, const char *name)
    {
        const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
        if (!directory.isEmpty())
            widget.grab().save(QString::fromLocal8Bit(directory) + "/" + name + ".png");
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The look of the real application, whose main does the same.
        Theme::applyToApplication();
        qputenv("FAKE_LISTER_DIR", m_dir.path().toUtf8());
        QVERIFY(QFile::copy(QFINDTESTDATA("fake-lister.sh"), m_dir.filePath("lark-mega")));
        m_settings = std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = m_dir.filePath("storage");
        options.settings = m_settings.get();
        options.toolDirectory = m_dir.path();
        m_manager = std::make_unique<DownloadManager>(options);
        m_manager->setFolder("/home/user/Downloads/Lark");
        m_manager->setConcurrency(0); // nothing handed over starts downloading
    }

    void bodySwitchesBetweenLoadingErrorAndBrowser()
    {
        writeListing(0);
        auto browser = opened("SLOWLIST");
        auto *body = browser->findChildren<QStackedWidget *>().first();
        QVERIFY(childWithText<QLabel>(*browser, "Fetching folder contents\u2026")->isVisible());
        screenshot(*browser, "browser-loading");
        QTRY_VERIFY(childWithText<QLineEdit>(*browser, QString()) &&
                    childWithText<QLineEdit>(*browser, QString())->isVisible());
        QVERIFY(!childWithText<QLabel>(*browser, "Fetching folder contents\u2026")->isVisible());

        auto failing = opened("ERRORMSG");
        QTRY_VERIFY(childWithText<QLabel>(*failing, "The MEGA link was removed.") &&
                    childWithText<QLabel>(*failing, "The MEGA link was removed.")->isVisible());
        QVERIFY(childWithText<QLabel>(*failing, "Couldn't open this folder")->isVisible());
        // The tool's message is shown as text, never read as markup.
        QCOMPARE(childWithText<QLabel>(*failing, "The MEGA link was removed.")->textFormat(), Qt::PlainText);
        screenshot(*failing, "browser-error");
        Q_UNUSED(body);
    }

    void aClickActsOnTheFileUnderThePointer()
    {
        writeListing(0, 40);
        auto browser = opened("LISTINGS");
        browser->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(browser.get()));
        auto *list = browser->findChild<QListView *>();
        QTRY_VERIFY(list->isVisible() && list->verticalScrollBar()->maximum() > 0);
        QVERIFY(!list->hasFocus());
        // The wheel scrolls the list from outside, without a click into it first.
        const QPoint pointer(list->viewport()->width() / 3, list->visualRect(list->model()->index(0, 0)).height() / 2);
        const QPoint global = list->viewport()->mapToGlobal(pointer);
        QVERIFY(programOutput("xdotool",
                              {"mousemove", "--sync", QString::number(global.x()), QString::number(global.y())}));
        QVERIFY(programOutput("xdotool", {"click", "--repeat", "4", "--delay", "30", "5"}));
        QTRY_VERIFY(list->indexAt(pointer).row() >= 6);
        QTest::qWait(100); // the last wheel step
        const QModelIndex under = list->indexAt(pointer);
        const QString id = browser->findChild<MegaFolderEntries *>()->nodeAt(under.row()).id;
        QVERIFY(id.startsWith("more"));

        QVERIFY(programOutput("xdotool", {"click", "1"}));
        QTRY_COMPARE(browser->model().selected(), QSet<QString>{id});
        QCOMPARE(list->indexAt(pointer), under);
    }

    void navigationFiltersAndFooter()
    {
        writeListing(3);
        auto browser = opened("LISTINGS");
        MegaFolderBrowserModel &model = browser->model();
        QTRY_VERIFY(model.tree());
        auto *parent = browser->findChildren<QToolButton *>().at(1);
        QCOMPARE(parent->toolTip(), "Parent folder");
        QVERIFY(!parent->isEnabled()); // at the root
        QVERIFY(childWithText<QLabel>(*browser, "\u26a0 3 entries could not be read and are not shown.")->isVisible());
        QVERIFY(childWithText<QLabel>(*browser, "4 files shown"));
        auto *download = childWithText<QPushButton>(*browser, "Download selected (0)");
        QVERIFY(download && !download->isEnabled());

        auto *list = browser->findChild<QListView *>();
        QCOMPARE(list->model()->rowCount(), 5); // one folder, four videos from every level
        model.toggle("clip0010");
        model.toggle("readme00"); // not shown, but selected all the same
        QVERIFY(childWithText<QLabel>(*browser, "2 selected \u00b7 1.2 GB"));
        QVERIFY(download->isEnabled() && download->text() == "Download selected (2)");
        screenshot(*browser, "browser");

        auto *showSelected = childWithText<QCheckBox>(*browser, "Show selected");
        showSelected->click();
        QCOMPARE(list->model()->rowCount(), 2); // no folder rows
        QVERIFY(!childWithText<QCheckBox>(*browser, "Videos only")->isEnabled());
        QVERIFY(!childWithText<QCheckBox>(*browser, "Include subfolders")->isEnabled());
        QTest::keyClicks(childWithText<QLineEdit>(*browser, QString()), "nothing like it");
        QVERIFY(childWithText<QLabel>(*browser, "No selected files match this search.")->isVisible());

        model.navigate("seasonII");
        QVERIFY(parent->isEnabled());
        QVERIFY(!showSelected->isChecked());
        QCOMPARE(childWithText<QLineEdit>(*browser, QString()), childWithText<QLineEdit>(*browser, QString()));
        QVERIFY(browser->findChild<QLineEdit *>()->text().isEmpty());
        QVERIFY(childWithText<QLabel>(*browser, "2 files shown"));
        screenshot(*browser, "browser-subfolder");

        model.navigate("extrasss");
        model.toggle("making00");
        QVERIFY(childWithText<QLabel>(*browser, "3 selected \u00b7 3.3 GB"));
        QVERIFY(childWithText<QToolButton>(*browser, "Drone") && childWithText<QToolButton>(*browser, "Summer trip"));
        screenshot(*browser, "browser-three-levels");

        QTest::keyClicks(browser->findChild<QLineEdit *>(), "no such clip");
        QVERIFY(childWithText<QLabel>(*browser, "No matching files in this folder.")->isVisible());
        QVERIFY(childWithText<QLabel>(*browser, "0 files shown"));
        screenshot(*browser, "browser-empty-result");
        browser->findChild<QLineEdit *>()->clear();
        model.setSearch(QString());

        download->click();
        QVERIFY(!browser->isVisible());
        QCOMPARE(m_manager->notice(), "Added 3 selected MEGA files to the queue");
    }

    void keyboardAndScreenReader()
    {
        writeListing(0);
        auto browser = opened("LISTINGS");
        browser->activateWindow();
        MegaFolderBrowserModel &model = browser->model();
        QTRY_VERIFY(model.tree());
        auto *list = browser->findChild<QListView *>();
        list->setFocus();
        QTRY_VERIFY(list->hasFocus());
        QCOMPARE(list->currentIndex().row(), 0);
        // Each row reads as the panel labels it.
        QAccessibleInterface *rows = QAccessible::queryAccessibleInterface(list);
        QVERIFY(rows);
        QStringList names;
        for (int i = 0; i < rows->childCount(); ++i)
            names.append(rows->child(i)->text(QAccessible::Name));
        QVERIFY2(names.contains("Day 2 \u2014 the coast"), qPrintable(names.join(" | ")));
        QVERIFY2(names.contains("Select Arrival at the station.mp4, 182.4 MB"), qPrintable(names.join(" | ")));

        // Return opens the folder row; Space picks the file row.
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(model.currentFolder(), "seasonII");
        QTest::keyClick(list, Qt::Key_Down);
        const QString picked = list->currentIndex().data(MegaFolderEntries::NodeIDRole).toString();
        QVERIFY(!list->currentIndex().data(MegaFolderEntries::IsFolderRole).toBool());
        QTest::keyClick(list, Qt::Key_Space);
        QVERIFY(model.selected().contains(picked));
        QCOMPARE(list->currentIndex().data(Qt::AccessibleTextRole).toString().left(9), "Deselect ");
        QTest::keyClick(list, Qt::Key_Space);
        QVERIFY(!model.selected().contains(picked));
        browser->reject();
    }

    void onlyClosingStopsTheFetch()
    {
        writeListing(0);
        auto browser = opened("SLEEPING");
        MegaFolderBrowserModel &model = browser->model();
        QTRY_VERIFY(model.isLoading());
        // Hidden by the window system (minimised, unmapped): the fetch goes on.
        browser->hide();
        QTest::qWait(200);
        QVERIFY(model.isLoading());
        QVERIFY(!QFile::exists(m_dir.filePath("terminated")));
        browser->show();
        // A fetch that ended without a result always offers to try again.
        model.cancel();
        QVERIFY(!model.isLoading());
        QPushButton *retry = childWithText<QPushButton>(*browser, "Try again");
        QVERIFY(retry && retry->isVisible());
        QVERIFY(childWithText<QLabel>(*browser, "The folder listing was stopped before it finished.")->isVisible());
        // Escape is an explicit cancel.
        retry->click();
        QTRY_VERIFY(model.isLoading());
        QTest::keyClick(browser.get(), Qt::Key_Escape);
        QVERIFY(!browser->isVisible());
        QVERIFY(!model.isLoading());
    }

    void searchHidesFoldersThatDoNotMatch()
    {
        writeListing(0);
        auto browser = opened("LISTINGS");
        MegaFolderBrowserModel &model = browser->model();
        QTRY_VERIFY(model.tree());
        auto *list = browser->findChild<QListView *>();
        const auto rows = [list] {
            QStringList names;
            for (int i = 0; i < list->model()->rowCount(); ++i)
                names.append(list->model()->index(i, 0).data().toString());
            return names;
        };
        QVERIFY(rows().contains("Day 2 \u2014 the coast"));
        model.setSearch("sunset");
        QCOMPARE(rows(),
                 QStringList{"Sunset over the harbour, filmed from the old lighthouse at the end of the pier.mp4"});
        model.setSearch("coast");
        QCOMPARE(rows().first(), "Day 2 \u2014 the coast");
        model.setSearch(QString());
        QVERIFY(rows().contains("Day 2 \u2014 the coast"));
    }

    void cancelClosesThePanel()
    {
        writeListing(0);
        auto browser = opened("SLEEPING");
        QTRY_VERIFY(browser->model().isLoading());
        childWithText<QPushButton>(*browser, "Cancel")->click();
        QVERIFY(!browser->isVisible());
        QVERIFY(!browser->model().isLoading());
    }

    void fiftyThousandFiles()
    {
        MegaFolderListing big = listing(0);
        for (int i = 0; i < 50000; ++i)
            big.nodes.append({QString("f%1").arg(i, 7, 10, QChar('0')), "rootnode", QString("Clip %1.mp4").arg(i),
                              false, 1000 + i, fileKey});
        QFile file(m_dir.filePath("listing.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(big.toJsonText());
        file.close();
        auto browser = opened("LISTINGS");
        QTRY_VERIFY_WITH_TIMEOUT(browser->model().tree(), 120000);
        auto *list = browser->findChild<QListView *>();
        // A listing this large is searched off the main thread: its files come a moment after it.
        QTRY_COMPARE_WITH_TIMEOUT(list->model()->rowCount(), 50000 + 5, 60000);
        list->scrollToBottom();
        QTest::qWait(50);
        QVERIFY(childWithText<QLabel>(*browser, "50004 files shown"));

        // While a long listing is read, the panel says how far it has got, and Cancel stops it.
        QFile::remove(m_dir.filePath("terminated"));
        auto reading = opened("HALFSENT");
        QLabel *title = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(
            (title = childWithText<QLabel>(
                 *reading, QLocale().toString(reading->model().itemsRead()).prepend("Reading ") + " items\u2026")) &&
                reading->model().itemsRead() > 1000 && title->isVisible(),
            60000);
        screenshot(*reading, "browser-reading");
        childWithText<QPushButton>(*reading, "Cancel")->click();
        QVERIFY(!reading->model().isLoading());
        QCOMPARE(reading->model().itemsRead(), 0);
        QTRY_VERIFY(QFile::exists(m_dir.filePath("terminated")));
    }
};

QTEST_MAIN(TestMegaFolderBrowser)
#include "tst_megafolderbrowser.moc"
