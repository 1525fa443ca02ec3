// The main window on a real X server.
#include "app/manager/DownloadManager.h"
#include "app/ui/ContentView.h"
#include "app/ui/DownloadFolderPicker.h"
#include "app/ui/DownloadRowDelegate.h"
#include "app/ui/MainWindow.h"
#include "app/ui/QueueFilter.h"
#include "tests/support/WidgetLookup.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>
#include <csignal>

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;

    std::unique_ptr<DownloadManager> makeManager()
    {
        m_settings = std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = m_dir.filePath("storage");
        options.settings = m_settings.get();
        options.toolDirectory = m_dir.filePath("tools");
        options.searchDirectories = QStringList{m_dir.filePath("tools")};
        auto manager = std::make_unique<DownloadManager>(options);
        manager->setFolder("/home/user/Downloads/Lark");
        manager->setConcurrency(0);
        return manager;
    }

    // One item in each of the five states, with the texts a worker would leave.
    void fill(DownloadManager &manager)
    {
        manager.add("https://www.youtube.com/watch?v=a https://vimeo.com/1 https://www.tiktok.com/@x/video/2 "
                    "https://mega.nz/file/AbCdEfGh#k https://www.instagram.com/reel/3");
        const auto set = [&manager](int row, DownloadState state, const QString &title, double progress,
                                    const QString &detail) {
            manager.change(manager.itemAt(row).id, [=](DownloadItem &item) {
                item.state = state;
                item.title = title;
                item.progress = progress;
                item.detail = detail;
                item.size = "148.2MiB";
                item.speed = "3.10MiB/s";
                item.eta = "00:41";
            });
        };
        set(0, DownloadState::downloading, "Northern lights over the fjord", 42.6, "Downloading");
        set(1, DownloadState::failed, "Broken link", 0, "ERROR: Unsupported URL: https://mega.nz/file/AbCdEfGh");
        set(2, DownloadState::paused, "Street food tour", 63, "Paused \u2022 partial file kept for resume");
        set(3, DownloadState::completed, "Morning run", 100, "Saved to your Mac");
    }

    void screenshot(QWidget &widget, const char *name)
    {
        const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
        if (!directory.isEmpty())
            widget.grab().save(QString::fromLocal8Bit(directory) + "/" + name + ".png");
    }

private Q_SLOTS:
    void emptyAndFilledWindow()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(1180, 800));
        QCOMPARE(window.minimumSize(), QSize(1000, 680));
        QVERIFY(childWithText<QLabel>(window, "A little less streaming. A little more keeping.")->isVisible());
        screenshot(window, "window-empty");

        fill(*manager);
        QTest::qWait(20);
        auto *list = window.findChild<QListView *>("queue");
        QCOMPARE(manager->count(), 5);
        QCOMPARE(list->model()->rowCount(), 5);
        screenshot(window, "window-items");
    }

    void sectionsAndSearch()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        fill(*manager);
        ContentView &content = window.content();
        auto *list = window.findChild<QListView *>("queue");
        content.setSection("In progress");
        QCOMPARE(list->model()->rowCount(), 2); // the downloading and the queued item
        content.setSection("All downloads");
        auto *search = window.findChildren<QLineEdit *>().first();
        QTest::keyClicks(search, "youtube");
        QCOMPARE(list->model()->rowCount(), 1); // found through the site label
        QPushButton *all = nullptr;
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->accessibleName() == "All downloads")
                all = button;
        }
        QVERIFY(all);
        QCOMPARE(all->findChildren<QLabel *>().last()->text(), "5"); // the counters ignore the search
        search->clear();
        QTest::keyClicks(search, "zzz");
        QVERIFY(childWithText<QLabel>(window, "No matching downloads")->isVisible());
    }

    void composer()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        ContentView &content = window.content();
        QVERIFY2(qobject_cast<QPlainTextEdit *>(QApplication::focusWidget()),
                 QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "none");
        auto *button = childWithText<QPushButton>(window, "Download");
        QVERIFY(!button->isEnabled());
        content.setLinks("  \n ");
        QVERIFY(!button->isEnabled());
        content.setLinks("https://example.com/a https://mega.nz/folder/AAAAAAAA#k");
        QCOMPARE(button->text(), "Fetch folder");
        QApplication::clipboard()->setText("https://example.com/b");
        content.setLinks("https://example.com/a");
        content.paste();
        QCOMPARE(content.links(), "https://example.com/a\nhttps://example.com/b");
        content.setLinks("not a link");
        content.addLinks();
        QCOMPARE(content.links(), "not a link"); // refused: kept in the editor
        QCOMPARE(manager->notice(), "Paste a complete http:// or https:// video link.");
        content.setSection("Failed");
        content.setLinks("https://example.com/a");
        content.addLinks();
        QCOMPARE(content.links(), QString());
        QCOMPARE(content.section(), "All downloads");
    }

    void rowButtonsPerState_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QStringList>("buttons");
        QTest::newRow("queued") << int(DownloadState::queued) << QStringList{"Pause", "Remove from queue"};
        QTest::newRow("downloading") << int(DownloadState::downloading) << QStringList{"Pause", "Remove from queue"};
        QTest::newRow("paused") << int(DownloadState::paused) << QStringList{"Resume or retry", "Remove from queue"};
        QTest::newRow("failed") << int(DownloadState::failed) << QStringList{"Resume or retry", "Remove from queue"};
        QTest::newRow("completed") << int(DownloadState::completed)
                                   << QStringList{"Show in Finder", "Remove from queue"};
    }
    void rowButtonsPerState()
    {
        QFETCH(int, state);
        QFETCH(QStringList, buttons);
        auto manager = makeManager();
        DownloadRowDelegate delegate(*manager);
        DownloadItem item("https://example.com/v", "v", "/tmp", "Best available", "None");
        item.state = static_cast<DownloadState>(state);
        QStringList titles;
        for (const auto &action : delegate.actions(item))
            titles.append(action.title);
        QCOMPARE(titles, buttons);
        const QColor colour = DownloadRowDelegate::stateColour(item.state);
        QVERIFY(item.state == DownloadState::failed || item.state == DownloadState::paused
                    ? colour != QColor(0x66E8B8)
                    : colour == QColor(0x66E8B8));
    }

    void folderPicker_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("saved"); // empty: refused
        QTest::addColumn<QString>("error");
        const QString notAbsolute = "Choose a folder or enter a full path starting with / or ~/ .";
        QTest::newRow("relative") << "Videos"
                                  << "" << notAbsolute;
        QTest::newRow("empty") << ""
                               << "" << notAbsolute;
        QTest::newRow("tilde with blanks")
            << "  ~/lark-picker-test/Lark  " << QDir::homePath() + "/lark-picker-test/Lark"
            << "";
        QTest::newRow("dot dot") << m_dir.filePath("a/../b") << m_dir.filePath("b") << "";
        QTest::newRow("not writable") << "/proc/lark"
                                      << ""
                                      << "";
    }
    void folderPicker()
    {
        QFETCH(QString, typed);
        QFETCH(QString, saved);
        QFETCH(QString, error);
        const auto checked = DownloadFolderPicker::check(typed);
        QCOMPARE(checked.folder.value_or(QString()), saved);
        if (!error.isEmpty())
            QCOMPARE(checked.error, error);
        if (saved.isEmpty())
            QVERIFY(!checked.error.isEmpty());
        else
            QVERIFY(QDir(saved).exists());
        if (typed.contains("lark-picker-test"))
            QDir(QDir::homePath() + "/lark-picker-test").removeRecursively();
    }

    void clearAllConfirmation_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("remaining");
        QTest::newRow("cancel") << "Cancel" << 5;
        QTest::newRow("clear") << "Clear queue" << 0;
    }
    void clearAllConfirmation()
    {
        QFETCH(QString, button);
        QFETCH(int, remaining);
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        fill(*manager);
        QTimer::singleShot(200, this, [&] {
            auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(alert);
            QCOMPARE(alert->windowTitle(), "Clear all downloads?");
            QCOMPARE(alert->text(), "<b>Clear all downloads?</b>");
            QCOMPARE(alert->informativeText(), "Active downloads will stop and history will be removed. Saved videos "
                                               "and partial files stay on disk.");
            if (remaining == 0) {
                // The alert is a window of its own: take the screen around the main window.
                const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
                if (!directory.isEmpty())
                    QGuiApplication::primaryScreen()
                        ->grabWindow(0, window.x(), window.y(), window.frameGeometry().width(),
                                     window.frameGeometry().height())
                        .save(QString::fromLocal8Bit(directory) + "/window-clear-alert.png");
            }
            childWithText<QPushButton>(*alert, button)->click();
        });
        QCOMPARE(window.content().confirmClearAll(), remaining == 0);
        QCOMPARE(manager->count(), remaining);
        if (remaining == 0) {
            QCOMPARE(manager->notice(), "Queue cleared. Downloaded and partial files remain on disk.");
            screenshot(window, "window-notice");
        }
    }

    void folderBrowserForEachFolderLink()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        manager->add("https://mega.nz/folder/AAAAAAAA#bqYT8Zdz0BGhr4DVR5LW4w "
                     "https://mega.nz/folder/BBBBBBBB#bqYT8Zdz0BGhr4DVR5LW4w");
        QDialog *browser = nullptr;
        QTRY_VERIFY((browser = window.findChild<QDialog *>(QString(), Qt::FindDirectChildrenOnly)) &&
                    browser->isVisible() && browser->windowTitle() == "Choose from MEGA");
        QCOMPARE(manager->folderRequest()->url, "https://mega.nz/folder/AAAAAAAA#bqYT8Zdz0BGhr4DVR5LW4w");
        browser->reject();
        // The next waiting link gets a browser of its own.
        QTRY_COMPARE(manager->folderRequest() ? manager->folderRequest()->url : QString(),
                     "https://mega.nz/folder/BBBBBBBB#bqYT8Zdz0BGhr4DVR5LW4w");
        QTRY_VERIFY(window.findChild<QDialog *>(QString(), Qt::FindDirectChildrenOnly) &&
                    window.findChild<QDialog *>(QString(), Qt::FindDirectChildrenOnly)->isVisible());
        window.findChild<QDialog *>(QString(), Qt::FindDirectChildrenOnly)->reject();
        QTRY_VERIFY(!manager->folderRequest());
    }

    void terminateSignalQuitsThroughShutdown()
    {
        // The real program, in a home of its own: SIGTERM must still write the history.
        QTemporaryDir home;
        QDir(home.path()).mkpath("data/Lark Downloader");
        DownloadItem item("https://example.com/clip", "clip", home.filePath("downloads"), "Best available", "None");
        item.state = DownloadState::queued;
        QFile history(home.filePath("data/Lark Downloader/queue.json"));
        QVERIFY(history.open(QIODevice::WriteOnly));
        history.write(QJsonDocument(QJsonArray{item.toJson()}).toJson(QJsonDocument::Indented));
        history.close();
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", home.path());
        environment.insert("XDG_DATA_HOME", home.filePath("data"));
        environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
        app.setProcessEnvironment(environment);
        app.start(QStringLiteral(LARK_APP_PATH), {});
        QVERIFY(app.waitForStarted());
        QTest::qWait(1500);
        QCOMPARE(app.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QVERIFY(history.open(QIODevice::ReadOnly));
        const QByteArray written = history.readAll();
        QVERIFY2(!written.contains('\n'), written.constData()); // rewritten compactly by the shutdown
        QCOMPARE(QJsonDocument::fromJson(written).array().first().toObject()["state"].toString(), "Paused");
    }

    void folderPanelSavesAndShowsErrors()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        manager->chooseFolder();
        DownloadFolderPicker &panel = window.folderPanel();
        QTRY_VERIFY(panel.isVisible());
        QCOMPARE(panel.path(), "/home/user/Downloads/Lark");
        panel.setPath("relative/path");
        QTest::keyClick(&panel, Qt::Key_Return);
        QCOMPARE(panel.error(), "Choose a folder or enter a full path starting with / or ~/ .");
        screenshot(panel, "folder-picker-error");
        manager->chooseFolder(); // the same panel comes forward, message kept
        QCOMPARE(&window.folderPanel(), &panel);
        QCOMPARE(panel.path(), "relative/path");
        panel.setPath(m_dir.filePath("chosen"));
        QTest::keyClick(&panel, Qt::Key_Return);
        QVERIFY(!panel.isVisible());
        QCOMPARE(manager->folder(), m_dir.filePath("chosen"));
        QCOMPARE(manager->notice(), "New downloads will be saved to " + m_dir.filePath("chosen"));
        manager->chooseFolder();
        QTest::keyClick(&panel, Qt::Key_Escape);
        QVERIFY(!panel.isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
