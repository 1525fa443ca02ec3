// The main window on a real X server.
#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "app/records/WorkerLine.h"
#include "app/theme/Theme.h"
#include "app/ui/ContentView.h"
#include "app/ui/DownloadFolderPicker.h"
#include "app/ui/DownloadRowDelegate.h"
#include "app/ui/FormatChooser.h"
#include "app/ui/MainWindow.h"
#include "app/ui/PlaylistPicker.h"
#include "app/ui/QueueFilter.h"
#include "tests/support/DesktopStandIns.h"
#include "tests/support/Programs.h"
#include "tests/support/WidgetLookup.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHelpEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QUrl>

#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <climits>
#include <csignal>

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    int m_managers = 0;

    std::unique_ptr<DownloadManager> makeManager()
    {
        m_settings = std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        // A history of its own each time: a slow machine writes one test's list before the next begins.
        options.storageDirectory = m_dir.filePath(QString("storage-%1").arg(++m_managers));
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
                item.bytesTotal = 155397324;
                item.bytesPerSecond = 3250585;
                item.secondsLeft = 41;
            });
        };
        set(0, DownloadState::downloading, "Northern lights over the fjord", 42.6, "Downloading");
        set(1, DownloadState::failed, "Broken link", 0, "ERROR: Unsupported URL: https://mega.nz/file/AbCdEfGh");
        set(2, DownloadState::paused, "Street food tour", 63, "Paused \u2022 partial file kept for resume");
        set(3, DownloadState::completed, "Morning run", 100, "Saved to your computer");
    }

    void screenshot(QWidget &widget, const char *name)
    {
        const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
        if (!directory.isEmpty())
            widget.grab().save(QString::fromLocal8Bit(directory) + "/" + name + ".png");
    }

    static const DownloadRowDelegate &delegateOf(QListView *list)
    {
        return *qobject_cast<DownloadRowDelegate *>(list->itemDelegate());
    }

    // Controls that overlap (neither inside the other) or are drawn smaller than they need.
    static QStringList layoutFaults(QWidget &window)
    {
        QList<QWidget *> controls;
        for (QWidget *widget : window.findChildren<QWidget *>()) {
            if (!widget->isVisibleTo(&window) || widget->isWindow())
                continue;
            if (qobject_cast<QAbstractButton *>(widget) || qobject_cast<QComboBox *>(widget) ||
                qobject_cast<QLineEdit *>(widget) || qobject_cast<QPlainTextEdit *>(widget) ||
                qobject_cast<QListView *>(widget) ||
                (qobject_cast<QLabel *>(widget) && !qobject_cast<QLabel *>(widget)->text().isEmpty()))
                controls.append(widget);
        }
        // Only what the scrolling column actually shows counts.
        const auto visibleRect = [&window](QWidget *widget) {
            QRect rect(widget->mapTo(&window, QPoint(0, 0)), widget->size());
            for (QWidget *parent = widget->parentWidget(); parent && parent != &window; parent = parent->parentWidget())
                rect &= QRect(parent->mapTo(&window, QPoint(0, 0)), parent->size());
            return rect;
        };
        QStringList faults;
        const auto name = [](QWidget *widget) {
            const auto *label = qobject_cast<QLabel *>(widget);
            const auto *button = qobject_cast<QAbstractButton *>(widget);
            return QStringLiteral("%1 '%2'").arg(widget->metaObject()->className(), label ? label->text()
                                                                                    : button
                                                                                        ? button->text()
                                                                                        : widget->accessibleName());
        };
        for (qsizetype i = 0; i < controls.size(); ++i) {
            QWidget *a = controls[i];
            const QRect ra = visibleRect(a);
            if (ra.isEmpty())
                continue;
            const QSize needed = qobject_cast<QLabel *>(a) && qobject_cast<QLabel *>(a)->wordWrap()
                                     ? a->minimumSizeHint()
                                     : a->sizeHint();
            // Icon-only buttons have the size of their design; text must have the room it needs.
            const auto *tool = qobject_cast<QToolButton *>(a);
            if (!(tool && tool->text().isEmpty()) && !qobject_cast<QListView *>(a) &&
                !qobject_cast<QPlainTextEdit *>(a) && !qobject_cast<QLineEdit *>(a) &&
                (a->width() < needed.width() || a->height() < std::min(needed.height(), a->minimumSizeHint().height())))
                faults.append(QStringLiteral("%1 is %2x%3, needs %4x%5")
                                  .arg(name(a))
                                  .arg(a->width())
                                  .arg(a->height())
                                  .arg(needed.width())
                                  .arg(needed.height()));
            for (qsizetype j = i + 1; j < controls.size(); ++j) {
                QWidget *b = controls[j];
                if (a->isAncestorOf(b) || b->isAncestorOf(a))
                    continue;
                if (ra.intersects(visibleRect(b)))
                    faults.append(name(a) + " overlaps " + name(b));
            }
        }
        return faults;
    }

    // The mean lightness (0-255) of what the screen shows of a window, saved as a picture when asked.
    static int shownLightness(QWidget *window, const char *name)
    {
        const QRect area = window->frameGeometry();
        const QImage image =
            QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
        const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
        if (!directory.isEmpty())
            image.save(QString::fromLocal8Bit(directory) + "/" + name + ".png");
        qint64 sum = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x)
                sum += QColor(image.pixel(x, y)).lightness();
        }
        return image.isNull() ? 255 : static_cast<int>(sum / (qint64(image.width()) * image.height()));
    }

private Q_SLOTS:
    // A link of several videos opens a picker; a video not started can be given a format of its own.
    void videosAndFormatsAreChosenInPanels()
    {
        QTemporaryDir tools;
        QTemporaryDir record;
        for (const char *name : {"yt-dlp", "ffmpeg"})
            QVERIFY(QFile::copy(QFINDTESTDATA("../manager/fake-worker.sh"), tools.filePath(name)));
        qputenv("FAKE_WORKER_DIR", record.path().toUtf8());
        auto guard = qScopeGuard([] { qunsetenv("FAKE_WORKER_DIR"); });
        m_settings = std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat);
        DownloadManager::Options options;
        options.storageDirectory = m_dir.filePath(QString("storage-%1").arg(++m_managers));
        options.settings = m_settings.get();
        options.toolDirectory = tools.path();
        options.searchDirectories = QStringList{tools.path()};
        DownloadManager manager(options);
        manager.setFolder(m_dir.filePath("picked"));
        manager.setConcurrency(1);
        MainWindow window(manager);
        window.resize(1180, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // The qualities on offer.
        QComboBox *quality = nullptr;
        for (auto *combo : window.findChildren<QComboBox *>())
            quality = combo->accessibleName() == "Quality" ? combo : quality;
        QVERIFY(quality);
        QCOMPARE(quality->count(), 9);
        quality->showPopup();
        QTRY_VERIFY(quality->view()->isVisible());
        screenshot(*quality->view()->window(), "quality-list");
        quality->hidePopup();

        // The speed limit is one choice of the "…" menu, which names it.
        QMenu *limits = nullptr;
        for (QToolButton *button : window.findChildren<QToolButton *>()) {
            for (QAction *action :
                 button->accessibleName() == "More actions" ? button->menu()->actions() : QList<QAction *>())
                limits = action->text().startsWith("Speed limit") ? action->menu() : limits;
        }
        QVERIFY(limits);
        QCOMPARE(limits->title(), "Speed limit: No limit");
        for (QAction *choice : limits->actions()) {
            if (choice->text() == "1 MB/s")
                choice->trigger();
        }
        QCOMPARE(manager.speedLimit(), 1048576);
        QCOMPARE(limits->title(), "Speed limit: 1 MB/s");
        manager.setSpeedLimit(0);

        QVERIFY(manager.add("https://example.com/v/list3"));
        PlaylistPicker *picker = nullptr;
        QTRY_VERIFY((picker = window.findChild<PlaylistPicker *>()) && picker->isVisible());
        QCOMPARE(manager.count(), 0); // the link itself is no download
        QCOMPARE(picker->chosen(), QList<int>({0, 1, 2}));
        screenshot(*picker, "playlist-picker");
        // Select none after a search leaves out only what it found.
        picker->setSearch("NUMBER 3");
        QCOMPARE(picker->shownCount(), 1);
        picker->setAllChosen(false);
        picker->setSearch("");
        QCOMPARE(picker->chosen(), QList<int>({0, 1}));
        auto *download = picker->findChild<QPushButton *>("download");
        QCOMPARE(download->text(), "Download 2 videos");
        download->click();
        QTRY_VERIFY(!window.findChild<PlaylistPicker *>());
        QCOMPARE(manager.count(), 2);
        QTRY_COMPARE(manager.finished(), 2);
        QCOMPARE(manager.itemAt(0).url, "https://example.com/v/ok-entry1"); // read top down
        QCOMPARE(manager.playlistRequest(), nullptr);

        // A video waiting for a slot gets the format picked for it.
        manager.add("https://example.com/v/wait-slot");
        manager.add("https://example.com/v/ok-format");
        const QUuid id = manager.itemAt(0).id;
        QTRY_VERIFY(manager.mayChooseFormat(id));
        FormatChooser chooser(manager, id, &window);
        chooser.show();
        QTRY_COMPARE(chooser.formatCount(), 3);
        screenshot(chooser, "format-chooser");
        chooser.choose(1);
        QCOMPARE(manager.item(id)->format, "135+bestaudio/135");
        QCOMPARE(manager.item(id)->quality, "Format 135 (480p)");
        manager.remove(manager.itemAt(1).id);
        QTRY_COMPARE(manager.item(id)->state, DownloadState::completed);
        QFile arguments(record.filePath("ok-format.args"));
        QVERIFY(arguments.open(QIODevice::ReadOnly));
        QVERIFY(arguments.readAll().contains("\n-f\n135+bestaudio/135\n"));
        QVERIFY(!manager.mayChooseFormat(id)); // a finished download keeps its format
    }

    void initTestCase()
    {
        // The look of the real application, whose main does the same.
        Theme::applyToApplication();
    }

    void emptyAndFilledWindow()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(1180, 900));
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

    void fitsAtEverySize_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("withNotice");
        QTest::addColumn<int>("wholeRows");
        QTest::addColumn<bool>("compact");
        QTest::newRow("smallest") << QSize(1000, 680) << false << 3 << true;
        QTest::newRow("smallest with a notice") << QSize(1000, 680) << true << 3 << true;
        QTest::newRow("laptop") << QSize(1366, 768) << true << 6 << true;
        QTest::newRow("laptop under a title bar") << QSize(1366, 743) << true << 6 << true;
        QTest::newRow("laptop at 125 %, under a title bar") << QSize(1092, 594) << true << 3 << true;
        QTest::newRow("low and wide") << QSize(1400, 680) << true << 3 << true;
        QTest::newRow("narrow and tall") << QSize(1000, 900) << true << 3 << true;
        QTest::newRow("tall") << QSize(1180, 1000) << true << 3 << false;
    }
    void fitsAtEverySize()
    {
        QFETCH(QSize, size);
        QFETCH(bool, withNotice);
        QFETCH(int, wholeRows);
        QFETCH(bool, compact);
        auto manager = makeManager();
        for (int i = 0; i < 5; ++i)
            manager->add(QString("https://example.com/more%1").arg(i));
        fill(*manager);
        if (withNotice)
            manager->add("not a link at all, and a second line of text\nmore");
        MainWindow window(*manager);
        window.setMinimumSize(size.boundedTo(MainWindow::designMinimum));
        window.resize(size);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_COMPARE(window.size(), size);
        QCoreApplication::processEvents();
        QCOMPARE(window.content().isCompact(), compact);
        const QStringList faults = layoutFaults(window);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join("; ")));
        auto *list = window.findChild<QListView *>("queue");
        auto *column = window.findChild<QScrollArea *>("mainColumn");
        // Everything fits down to the smallest window, footer included.
        QCOMPARE(column->verticalScrollBar()->maximum(), 0);
        QVERIFY(!list->horizontalScrollBar()->isVisible());
        int whole = 0;
        for (int row = 0; row < list->model()->rowCount(); ++row) {
            const QRect card =
                list->visualRect(list->model()->index(row, 0)).adjusted(0, 0, 0, -delegateOf(list).rowGap());
            whole += list->viewport()->rect().contains(card) ? 1 : 0;
        }
        QVERIFY2(whole >= wholeRows, qPrintable(QStringLiteral("%1 whole rows in a viewport of %2x%3")
                                                    .arg(whole)
                                                    .arg(list->viewport()->width())
                                                    .arg(list->viewport()->height())));
        QVERIFY(list->visualRect(list->model()->index(0, 0)).right() < list->viewport()->width());
        if (size == QSize(1000, 680) && withNotice)
            screenshot(window, "window-1000x680");
        if (size == QSize(1366, 743))
            screenshot(window, "window-1366x768-compact");
        if (!compact)
            screenshot(window, "window-tall");
    }

    void fittedGeometry_data()
    {
        QTest::addColumn<QRect>("wanted");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QMargins>("frame");
        QTest::addColumn<QRect>("fitted");
        const QPoint unplaced(INT_MIN, INT_MIN);
        QTest::newRow("first launch, laptop, no frame")
            << QRect(unplaced, QSize(1180, 800)) << QRect(0, 0, 1366, 768) << QMargins() << QRect(93, 0, 1180, 768);
        QTest::newRow("first launch, laptop, title bar and a panel")
            << QRect(unplaced, QSize(1180, 800)) << QRect(0, 27, 1366, 741) << QMargins(1, 30, 1, 1)
            << QRect(93, 57, 1180, 710);
        QTest::newRow("first launch, large screen")
            << QRect(unplaced, QSize(1180, 800)) << QRect(0, 0, 1920, 1080) << QMargins() << QRect(370, 140, 1180, 800);
        QTest::newRow("first launch on a second screen")
            << QRect(unplaced, QSize(1180, 800)) << QRect(1920, 0, 1366, 768) << QMargins()
            << QRect(2013, 0, 1180, 768);
        QTest::newRow("restored where it was")
            << QRect(100, 50, 1200, 700) << QRect(0, 0, 1920, 1080) << QMargins() << QRect(100, 50, 1200, 700);
        QTest::newRow("restored from a larger screen")
            << QRect(800, 300, 1600, 1000) << QRect(0, 0, 1366, 768) << QMargins() << QRect(0, 0, 1366, 768);
        QTest::newRow("restored partly off the right edge")
            << QRect(900, 100, 1100, 700) << QRect(0, 0, 1366, 768) << QMargins() << QRect(266, 68, 1100, 700);
        QTest::newRow("screen smaller than the minimum")
            << QRect(unplaced, QSize(1180, 800)) << QRect(0, 0, 800, 600) << QMargins() << QRect(0, 0, 800, 600);
        QTest::newRow("laptop at 125 %, openbox's frame")
            << QRect(unplaced, QSize(1180, 1000)) << QRect(0, 0, 1092, 614) << QMargins(1, 16, 1, 4)
            << QRect(1, 16, 1090, 594);
    }
    void fittedGeometry()
    {
        QFETCH(QRect, wanted);
        QFETCH(QRect, available);
        QFETCH(QMargins, frame);
        QFETCH(QRect, fitted);
        QCOMPARE(MainWindow::fittedGeometry(wanted, available, frame, QSize(1000, 680)), fitted);
    }

    void geometryIsRestored()
    {
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        makeManager()->settings().remove("windowGeometry");
        {
            auto manager = makeManager();
            MainWindow window(*manager);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            // A first launch is centred on the screen.
            QCOMPARE(window.geometry().center().x(), screen.center().x());
            window.setGeometry(QRect(screen.topLeft() + QPoint(40, 30), QSize(1050, 700)));
            QTRY_COMPARE(window.size(), QSize(1050, 700));
            window.close();
        }
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.geometry(), QRect(screen.topLeft() + QPoint(40, 30), QSize(1050, 700)));
        // A place on a screen that is gone comes back on this one, whole.
        m_settings->setValue("windowGeometry", QRect(5000, 4000, 1300, 2000));
        MainWindow moved(*manager);
        QVERIFY(screen.contains(moved.geometry()) || moved.geometry().size() == QSize(1000, 680));
        QVERIFY(moved.geometry().height() <= std::max(680, screen.height()));
        m_settings->remove("windowGeometry");
    }

    void focusReturnsToTheLinkField()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *editor = window.findChild<QPlainTextEdit *>();
        auto *button = window.findChild<QPushButton *>("mainButton");
        QCOMPARE(button->toolTip(), "Download (Ctrl+Return)");
        // By the keyboard: type, Ctrl+Return, and the next link goes straight into the field.
        editor->setFocus();
        QTest::keyClicks(editor, "https://example.com/first");
        QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(manager->count(), 1);
        QCOMPARE(QApplication::focusWidget(), editor);
        // By the mouse: the button takes the focus on the click, and gives it back.
        window.content().setLinks("https://example.com/second");
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(manager->count(), 2);
        QCOMPARE(QApplication::focusWidget(), editor);
        QTest::keyClicks(QApplication::focusWidget(), "https://example.com/third");
        QCOMPARE(window.content().links(), "https://example.com/third");
        auto *list = window.findChild<QListView *>("queue");
        QCOMPARE(list->model()->rowCount(), 2); // nothing filtered the list
    }

    void quotaRowSaysWhenItResets()
    {
        auto manager = makeManager();
        manager->add("https://example.com/watch?v=busy");
        manager->change(manager->itemAt(0).id, [&manager](DownloadItem &item) {
            item.state = DownloadState::failed;
            item.title = "A walk along the harbour";
            item.bytesTotal = 48200000;
            item.detail = "ERROR: unable to download video data: HTTP Error 503: Service Unavailable";
            item.failureKind = FailureKind::busy;
            item.retries = 2;
            item.retryAt = manager->now().addSecs(102);
        });
        manager->add("https://mega.nz/file/AbCdEfGh#k");
        const QString line = "ERROR: MEGA transfer quota reached. Quota resets at 14:32.";
        manager->change(manager->itemAt(0).id, [&line](DownloadItem &item) {
            item.state = DownloadState::failed;
            item.title = "Season 1 Episode 4.mkv";
            item.bytesTotal = 1503238554;
            item.detail = line;
        });
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = window.findChild<QListView *>("queue");
        QCOMPARE(list->model()->index(0, 0).data(Qt::AccessibleDescriptionRole).toString(),
                 "Failed, MEGA's transfer quota for your connection is used up: resume this download after it "
                 "resets. Quota resets at 14:32.");
        // A download that tries again by itself counts down to it.
        const QString waiting = list->model()->index(1, 0).data(Qt::AccessibleDescriptionRole).toString();
        QVERIFY2(QRegularExpression("^Failed, Retrying in 1:4\\d \\(attempt 2 of 3\\)$").match(waiting).hasMatch(),
                 qPrintable(waiting));
        screenshot(window, "quota-row");
    }

    void linksDroppedOnTheWindow_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after"); // empty: the drop is refused
        const QString a = "https://example.com/watch?v=a";
        const QString b = "https://mega.nz/folder/AbCdEfGh#k";
        QTest::newRow("a link from the address bar") << QList<QUrl>{QUrl(a)} << a << "" << a;
        QTest::newRow("two links from a page") << QList<QUrl>{QUrl(a), QUrl(b)} << ""
                                               << "" << a + "\n" + b;
        QTest::newRow("selected text") << QList<QUrl>{} << "  " + a + " " + b + "\n"
                                       << "" << a + " " + b;
        QTest::newRow("after what the field holds") << QList<QUrl>{QUrl(b)} << "" << a << a + "\n" + b;
        QTest::newRow("after a line already ended") << QList<QUrl>{QUrl(b)} << "" << a + "\n" << a + "\n" + b;
        QTest::newRow("a local file is no link") << QList<QUrl>{QUrl::fromLocalFile("/tmp/x.mp4")} << "" << a << "";
    }
    void linksDroppedOnTheWindow()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(QString, text);
        QFETCH(QString, before);
        QFETCH(QString, after);
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ContentView &content = window.content();
        content.setLinks(before);
        // The fields that would take a drop for themselves leave it to the window.
        QVERIFY(!window.findChild<QPlainTextEdit *>()->acceptDrops());
        for (QLineEdit *field : window.findChildren<QLineEdit *>())
            QVERIFY(!field->acceptDrops());
        QVERIFY(content.acceptDrops());
        auto *search = window.findChildren<QLineEdit *>().first();
        search->setFocus();

        QMimeData mime;
        if (!urls.isEmpty())
            mime.setUrls(urls);
        if (!text.isEmpty())
            mime.setText(text);
        const QPoint over(content.width() / 2, content.height() - 80); // over the list, far from the field
        QDragEnterEvent enter(over, Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&content, &enter);
        QCOMPARE(enter.isAccepted(), !after.isEmpty());
        QCOMPARE(content.showsDropTarget(), !after.isEmpty());
        if (after.isEmpty())
            return;
        if (QTest::currentDataTag() == QLatin1String("two links from a page"))
            screenshot(window, "drop-in-progress");
        QDropEvent drop(QPointF(over), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&content, &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(content.links(), after);
        QVERIFY(!content.showsDropTarget());
        QTRY_COMPARE(QApplication::focusWidget(), window.findChild<QPlainTextEdit *>());
        QCOMPARE(manager->count(), 0); // dropped links wait for Download, like pasted ones
    }

    void paletteContrast_data()
    {
        QTest::addColumn<int>("group");
        QTest::addColumn<int>("text");
        QTest::addColumn<int>("background");
        const QList<std::tuple<const char *, QPalette::ColorRole, QPalette::ColorRole>> pairs{
            {"window text", QPalette::WindowText, QPalette::Window},
            {"text on base", QPalette::Text, QPalette::Base},
            {"text on alternate base", QPalette::Text, QPalette::AlternateBase},
            {"text on window", QPalette::Text, QPalette::Window},
            {"button text", QPalette::ButtonText, QPalette::Button},
            {"tooltip", QPalette::ToolTipText, QPalette::ToolTipBase},
            {"selection", QPalette::HighlightedText, QPalette::Highlight},
            {"placeholder", QPalette::PlaceholderText, QPalette::Base},
            {"link", QPalette::Link, QPalette::Base},
            {"bright text", QPalette::BrightText, QPalette::Window},
        };
        for (const auto &[group, groupName] :
             {std::pair{QPalette::Active, "active"}, std::pair{QPalette::Inactive, "inactive"}}) {
            for (const auto &[name, text, background] : pairs)
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(groupName, name)))
                    << int(group) << int(text) << int(background);
        }
    }
    void paletteContrast()
    {
        QFETCH(int, group);
        QFETCH(int, text);
        QFETCH(int, background);
        // What a standard dialog of the running application paints with.
        const QPalette palette = QFileDialog().palette();
        const auto colourGroup = static_cast<QPalette::ColorGroup>(group);
        const QColor back = palette.color(colourGroup, static_cast<QPalette::ColorRole>(background));
        const QColor fore = Theme::over(palette.color(colourGroup, static_cast<QPalette::ColorRole>(text)), back);
        QCOMPARE(back.alpha(), 255);
        const double ratio = Theme::contrast(fore, back);
        QVERIFY2(ratio >= 4.5, qPrintable(QStringLiteral("%1 on %2: %3:1").arg(fore.name(), back.name()).arg(ratio)));
        // And it is the dark palette, not the desktop's.
        QVERIFY(palette.color(QPalette::Window).lightness() < 60);
        QCOMPARE(QApplication::style()->name().toLower(), "fusion");
    }

    void standardPiecesAreDark()
    {
        auto manager = makeManager();
        fill(*manager);
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // The "…" menu.
        QMenu *menu = nullptr;
        for (QToolButton *button : window.findChildren<QToolButton *>()) {
            if (button->accessibleName() == "More actions")
                menu = button->menu();
        }
        QVERIFY(menu);
        menu->popup(window.mapToGlobal(QPoint(700, 400)));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        QTest::qWait(50);
        QVERIFY(shownLightness(menu, "menu-open") < 70);
        menu->hide();
        // The signed-in browsers are those whose cookies yt-dlp reads on Linux.
        // A cookies.txt file stands beside them.
        QStringList browsers;
        for (QAction *action : menu->actions().first()->menu()->actions()) {
            if (!action->isSeparator())
                browsers.append(action->text());
        }
        QCOMPARE(browsers, QStringList({"None", "Chrome", "Chromium", "Firefox", "Edge", "Brave", "Opera", "Vivaldi",
                                        "Cookies file\u2026"}));

        // A combo pop-up.
        QComboBox *quality = nullptr;
        for (QComboBox *combo : window.findChildren<QComboBox *>()) {
            if (combo->accessibleName() == "Quality")
                quality = combo;
        }
        QVERIFY(quality);
        quality->showPopup();
        QWidget *popup = quality->view()->window();
        QVERIFY(QTest::qWaitForWindowExposed(popup));
        QTest::qWait(50);
        QVERIFY(shownLightness(popup, "combo-open") < 70);
        quality->hidePopup();

        // A tooltip.
        auto *button = window.findChild<QPushButton *>("mainButton");
        QToolTip::showText(button->mapToGlobal(QPoint(10, 10)), button->toolTip(), button);
        QWidget *tip = nullptr;
        QTRY_VERIFY((tip = [] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                if (widget->inherits("QTipLabel") && widget->isVisible())
                    return widget;
            }
            return static_cast<QWidget *>(nullptr);
        }()));
        QTest::qWait(50);
        QVERIFY(shownLightness(tip, "tooltip") < 90);
        QToolTip::hideText();

        // The folder picker's Browse… dialog.
        manager->chooseFolder();
        DownloadFolderPicker &panel = window.folderPanel();
        QTRY_VERIFY(panel.isVisible());
        childWithText<QPushButton>(panel, "Browse…")->click();
        QFileDialog *dialog = nullptr;
        QTRY_VERIFY((dialog = panel.findChild<QFileDialog *>()) && dialog->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QTest::qWait(100);
        QVERIFY(shownLightness(dialog, "browse-dialog") < 70);
        for (QLabel *label : dialog->findChildren<QLabel *>()) {
            const QColor text = label->palette().color(QPalette::WindowText);
            QVERIFY2(Theme::contrast(text, label->palette().color(QPalette::Window)) >= 4.5, qPrintable(label->text()));
        }
        dialog->reject();
        panel.hide();
    }

    void keyboardActsOnRows()
    {
        QTemporaryDir tools;
        QVERIFY(installRecordingOpener(tools.path()));
        auto manager = makeManager();
        fill(*manager);
        MainWindow window(*manager);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *list = window.findChild<QListView *>("queue");
        // Tab reaches the list from the link field.
        window.findChild<QPlainTextEdit *>()->setFocus();
        for (int tabs = 0; tabs < 30 && QApplication::focusWidget() != list; ++tabs)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), list);
        QCOMPARE(list->currentIndex().row(), 0);
        const auto stateAt = [&](int row) { return manager->itemAt(row).state; };
        const auto key = [&](Qt::Key pressed, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(list, pressed, modifiers);
        };
        QCOMPARE(stateAt(0), DownloadState::downloading);
        key(Qt::Key_Space);
        QCOMPARE(stateAt(0), DownloadState::paused);
        key(Qt::Key_Space);
        QCOMPARE(stateAt(0), DownloadState::queued);
        key(Qt::Key_Down);
        QCOMPARE(list->currentIndex().row(), 1);
        QCOMPARE(stateAt(1), DownloadState::failed);
        key(Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), "ERROR: Unsupported URL: https://mega.nz/file/AbCdEfGh");
        key(Qt::Key_Space);
        QCOMPARE(stateAt(1), DownloadState::queued);
        // Return shows a finished download (its file is gone, so its folder opens).
        key(Qt::Key_Down);
        key(Qt::Key_Down);
        QCOMPARE(stateAt(3), DownloadState::completed);
        key(Qt::Key_Return);
        QTRY_COMPARE(openedByRecordingOpener(tools.path()), QStringList{"file://" + manager->itemAt(3).folder});
        // Delete removes the row, and the next one becomes current.
        const QUuid removed = manager->itemAt(3).id;
        key(Qt::Key_Delete);
        QVERIFY(!manager->item(removed));
        QCOMPARE(manager->count(), 4);
        QCOMPARE(list->currentIndex().row(), 3);
        // The menu key opens the row's menu, with the row's own actions.
        QTimer::singleShot(0, this, [] {
            QTRY_VERIFY(qobject_cast<QMenu *>(QApplication::activePopupWidget()));
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QStringList titles;
            for (QAction *action : menu->actions()) {
                if (!action->isSeparator())
                    titles.append(action->text());
            }
            QCOMPARE(titles,
                     QStringList({"Pause", "Remove from queue", "Choose format\u2026", "Copy status", "Copy link"}));
            menu->close();
        });
        key(Qt::Key_Menu);
    }

    // Answers the next message box with the button of this text, once it shows.
    std::unique_ptr<QTimer> answerNextAlert(const QString &button, QString *question = nullptr)
    {
        auto owned = std::make_unique<QTimer>();
        QTimer *poll = owned.get();
        connect(poll, &QTimer::timeout, this, [poll, button, question] {
            auto *alert = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!alert)
                return;
            poll->stop();
            if (question)
                *question = alert->text();
            if (QPushButton *answer = childWithText<QPushButton>(*alert, button))
                answer->click();
            else
                alert->reject();
        });
        poll->start(20);
        return owned;
    }

    void severalRowsAtOnce()
    {
        QTemporaryDir tools;
        QVERIFY(installRecordingOpener(tools.path()));
        auto manager = makeManager();
        fill(*manager); // downloading, failed, paused, completed, queued
        manager->add("https://example.com/second-failure");
        manager->change(manager->itemAt(0).id, [](DownloadItem &item) {
            item.state = DownloadState::failed;
            item.detail = "ERROR: HTTP Error 500";
        });
        QFile saved(m_dir.filePath("morning-run.mp4"));
        QVERIFY(saved.open(QIODevice::WriteOnly));
        saved.close();
        manager->change(manager->itemAt(4).id, [&saved](DownloadItem &item) { item.file = saved.fileName(); });
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = window.findChild<QListView *>("queue");
        const auto rowPoint = [&](int row) {
            return list->visualRect(list->model()->index(row, 0)).topLeft() + QPoint(30, 20);
        };
        const auto stateAt = [&](int row) { return manager->itemAt(row).state; };
        // Ctrl adds a row to the choice; Space retries the two failed ones.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, rowPoint(2));
        QCOMPARE(list->selectionModel()->selectedRows().size(), 2);
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(stateAt(0), DownloadState::queued);
        QCOMPARE(stateAt(2), DownloadState::queued);
        QCOMPARE(stateAt(1), DownloadState::downloading);

        // Shift takes the rows between; Delete asks first, since one is running.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(1));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ShiftModifier, rowPoint(3));
        QCOMPARE(list->selectionModel()->selectedRows().size(), 3);
        QString question;
        auto answering = answerNextAlert("Keep", &question);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(question, "Remove 3 downloads?");
        QCOMPARE(manager->count(), 6);
        answering = answerNextAlert("Remove");
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(manager->count(), 3);
        // A finished row goes without a question: nothing of it is lost.
        QCOMPARE(stateAt(1), DownloadState::completed);
        list->setCurrentIndex(list->model()->index(1, 0));
        question.clear();
        answering = answerNextAlert("Keep", &question);
        QTest::keyClick(list, Qt::Key_Delete);
        QVERIFY(question.isEmpty());
        answering.reset();
        QCOMPARE(manager->count(), 2);

        // A double click opens a finished file.
        manager->add("https://example.com/opened");
        manager->change(manager->itemAt(0).id, [&saved](DownloadItem &item) {
            item.state = DownloadState::completed;
            item.file = saved.fileName();
        });
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(0));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rowPoint(0));
        QTRY_COMPARE(openedByRecordingOpener(tools.path()), QStringList{"file://" + saved.fileName()});
    }

    void addingWhatIsAlreadyDownloaded_data()
    {
        QTest::addColumn<QString>("links");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("question");
        QTest::addColumn<int>("added");
        const QString done = "https://example.com/done";
        const QString fresh = "https://example.com/fresh";
        QTest::newRow("one, cancelled") << done << "Cancel"
                                        << "This link is already downloaded." << 0;
        QTest::newRow("one, again") << done << "Download again"
                                    << "This link is already downloaded." << 1;
        QTest::newRow("with another, the other only") << done + "\n" + fresh << "Add the others"
                                                      << "This link is already downloaded." << 1;
        QTest::newRow("with another, both") << done + "\n" + fresh << "Download again"
                                            << "This link is already downloaded." << 2;
        QTest::newRow("nothing done before") << fresh << ""
                                             << "" << 1;
    }
    void addingWhatIsAlreadyDownloaded()
    {
        QFETCH(QString, links);
        QFETCH(QString, answer);
        QFETCH(QString, question);
        QFETCH(int, added);
        auto manager = makeManager();
        manager->add("https://example.com/done");
        manager->change(manager->itemAt(0).id, [](DownloadItem &item) { item.state = DownloadState::completed; });
        MainWindow window(*manager);
        window.show();
        QString asked;
        const auto answering = answer.isEmpty() ? nullptr : answerNextAlert(answer, &asked);
        window.content().setLinks(links);
        window.content().addLinks();
        QCOMPARE(asked, question);
        QCOMPARE(manager->count(), 1 + added);
        // Cancelled, the links stay in the field.
        QCOMPARE(window.content().links(), added == 0 ? links : QString());
    }

    void noticesHaveTheirToneAndCanBeDismissed_data()
    {
        QTest::addColumn<QString>("added");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("news") << "https://example.com/news" << Theme::mint;
        QTest::newRow("warning") << "no link here" << DownloadRowDelegate::stateColour(DownloadState::paused);
        QTest::newRow("failure") << "" << Theme::orange;
    }
    void noticesHaveTheirToneAndCanBeDismissed()
    {
        QFETCH(QString, added);
        QFETCH(QColor, colour);
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        if (added.isEmpty()) {
            // A finished file that is gone cannot be opened.
            DownloadItem gone("https://example.com/gone", "Gone", m_dir.path(), "Best available", "None");
            gone.state = DownloadState::completed;
            gone.file = m_dir.filePath("no-such-file.mp4");
            manager->open(gone);
        } else {
            manager->add(added);
        }
        auto *bar = window.findChild<QWidget *>("notice");
        QVERIFY(bar->isVisible());
        auto *text = childWithText<QLabel>(*bar, manager->notice());
        QVERIFY(text);
        QVERIFY2(text->styleSheet().contains(colour.name()), qPrintable(text->styleSheet()));
        QCoreApplication::processEvents();
        if (added.isEmpty())
            screenshot(window, "window-failure-notice");
        QAbstractButton *dismiss = nullptr;
        for (auto *button : bar->findChildren<QAbstractButton *>())
            dismiss = button->accessibleName() == "Dismiss notice" ? button : dismiss;
        QVERIFY(dismiss);
        dismiss->click();
        QCOMPARE(manager->notice(), QString());
        QVERIFY(!bar->isVisible());
    }

    void clipboardLinksAreOffered_data()
    {
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<QString>("offer");
        QTest::addColumn<int>("added");
        QTest::newRow("two new links") << "see https://example.com/a and https://example.com/b"
                                       << "2 links in the clipboard" << 2;
        QTest::newRow("one new, one queued") << "https://example.com/queued https://example.com/c"
                                             << "1 link in the clipboard" << 1;
        QTest::newRow("only what is queued") << "https://example.com/queued"
                                             << "" << 0;
        QTest::newRow("no link") << "just some words"
                                 << "" << 0;
        QTest::newRow("already in the field") << "https://example.com/typed"
                                              << "" << 0;
    }
    void clipboardLinksAreOffered()
    {
        QFETCH(QString, clipboard);
        QFETCH(QString, offer);
        QFETCH(int, added);
        auto manager = makeManager();
        manager->add("https://example.com/queued");
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.content().setLinks("https://example.com/typed");
        QApplication::clipboard()->setText(clipboard);
        window.content().offerClipboardLinks();
        QCOMPARE(window.content().clipboardOffer(), offer);
        if (offer == "2 links in the clipboard")
            screenshot(window, "window-clipboard-offer");
        if (!offer.isEmpty())
            window.content().acceptClipboardOffer();
        QCOMPARE(manager->count(), 1 + added);
        QCOMPARE(window.content().clipboardOffer(), QString());
        // The same clipboard is not offered twice.
        window.content().offerClipboardLinks();
        QCOMPARE(window.content().clipboardOffer(), QString());
    }

    void watchingTheClipboardIsAChoice()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!manager->watchesClipboard());
        manager->setWatchesClipboard(true);
        // Each copy is offered as it is made, the window active or not.
        for (const char *link : {"https://example.com/watched1", "https://example.com/watched2"}) {
            QApplication::clipboard()->setText(link);
            QTRY_COMPARE(window.content().clipboardOffer(), "1 link in the clipboard");
            window.content().acceptClipboardOffer();
            QVERIFY(manager->notInQueue(link).isEmpty());
        }
        manager->setWatchesClipboard(false);
    }

    void screenReaderReadsRows()
    {
        auto manager = makeManager();
        fill(*manager);
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = window.findChild<QListView *>("queue");
        QAccessibleInterface *queue = QAccessible::queryAccessibleInterface(list);
        QVERIFY(queue);
        QCOMPARE(queue->role(), QAccessible::List);
        QCOMPARE(queue->childCount(), 5);
        struct Expected {
            QString name;
            QString description;
            QStringList buttons;
        };
        const QList<Expected> rows{
            {"Northern lights over the fjord", "Downloading, 42.6%", {"Pause", "Remove from queue"}},
            {"Broken link",
             "Failed, This link is not a video page yt-dlp knows: check the link, or open the video's own page and "
             "copy its address.",
             {"Resume or retry", "Remove from queue"}},
            {"Street food tour",
             "Paused, Paused \u2022 partial file kept for resume",
             {"Resume or retry", "Remove from queue"}},
            {"Morning run", "Completed, Saved to your computer", {"Show in Folder", "Remove from queue"}},
            // No title read yet: the link, not its host, names the row.
            {"https://www.instagram.com/reel/3", "Queued, Waiting for a download slot", {"Pause", "Remove from queue"}},
        };
        for (int i = 0; i < rows.size(); ++i) {
            QAccessibleInterface *row = queue->child(i);
            QVERIFY(row && row->isValid());
            QCOMPARE(row->role(), QAccessible::ListItem);
            QCOMPARE(row->text(QAccessible::Name), rows[i].name);
            QCOMPARE(row->text(QAccessible::Description), rows[i].description);
            QCOMPARE(row->parent(), queue);
            QCOMPARE(queue->indexOfChild(row), i);
            QStringList buttons;
            for (int b = 0; b < row->childCount(); ++b) {
                QAccessibleInterface *button = row->child(b);
                QCOMPARE(button->role(), QAccessible::Button);
                QVERIFY(row->rect().contains(button->rect()));
                QCOMPARE(button->parent(), row);
                buttons.append(button->text(QAccessible::Name));
            }
            QCOMPARE(buttons, rows[i].buttons);
        }
        // Pressing a painted button through the accessibility interface acts like a click.
        QAccessibleInterface *pause = queue->child(0)->child(0);
        QVERIFY(pause->actionInterface());
        pause->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(manager->itemAt(0).state, DownloadState::paused);
        QCOMPARE(queue->child(0)->text(QAccessible::Description), "Paused, Paused \u2022 partial file kept for resume");
        // The button that the state no longer offers is gone.
        QVERIFY(!pause->isValid());
        QCOMPARE(queue->child(0)->child(0)->text(QAccessible::Name), "Resume or retry");
    }

    void simultaneousShowsAStoredNumberOutsideItsList()
    {
        auto manager = makeManager();
        manager->setConcurrency(10);
        MainWindow window(*manager);
        QComboBox *simultaneous = nullptr;
        for (QComboBox *combo : window.findChildren<QComboBox *>()) {
            if (combo->accessibleName() == "Simultaneous downloads")
                simultaneous = combo;
        }
        QVERIFY(simultaneous);
        QCOMPARE(simultaneous->currentText(), "10");
        QStringList choices;
        for (int i = 0; i < simultaneous->count(); ++i)
            choices.append(simultaneous->itemText(i));
        QCOMPARE(choices, QStringList({"1", "2", "3", "5", "8", "10", "12", "20", "50"}));
        manager->setConcurrency(20);
        QCOMPARE(simultaneous->currentText(), "20");
    }

    void removingARowLeavesNoRowCut()
    {
        auto manager = makeManager();
        for (int i = 0; i < 30; ++i)
            manager->add(QString("https://example.com/clip%1").arg(i));
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = window.findChild<QListView *>("queue");
        QTRY_VERIFY(list->verticalScrollBar()->maximum() > 10 * delegateOf(list).rowHeight());
        list->verticalScrollBar()->setValue(4 * delegateOf(list).rowHeight() + 37);
        manager->remove(manager->itemAt(6).id);
        QTRY_COMPARE(list->verticalScrollBar()->value() % delegateOf(list).rowHeight(), 0);
        QCOMPARE(list->indexAt(QPoint(20, 2)).row(),
                 list->indexAt(QPoint(20, delegateOf(list).cardHeight() - 2)).row());
    }

    void whatWasAddedIsInView()
    {
        auto manager = makeManager();
        manager->setConcurrency(0);
        QStringList links;
        for (int i = 0; i < 200; ++i)
            links.append(QString("https://example.com/listed%1").arg(i));
        manager->add(links.join('\n'));
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = window.findChild<QListView *>("queue");
        // The list reads as pasted, top down.
        QCOMPARE(list->model()->index(0, 0).data(DownloadListModel::UrlRole).toString(), links.first());
        // A row far down is selected and in view; a link added then shows at the top.
        const QModelIndex far = list->model()->index(150, 0);
        list->setCurrentIndex(far);
        list->scrollTo(far);
        QTRY_VERIFY(!list->viewport()->rect().intersects(list->visualRect(list->model()->index(0, 0))));
        window.content().setLinks("https://example.com/latest");
        window.content().addLinks();
        const QModelIndex top = list->model()->index(0, 0);
        QCOMPARE(top.data(DownloadListModel::UrlRole).toString(), "https://example.com/latest");
        QTRY_VERIFY(list->viewport()->rect().contains(list->visualRect(top)));
    }

    void changesAreRepaintedTogether()
    {
        auto manager = makeManager();
        manager->setConcurrency(0);
        manager->add("https://example.com/steady");
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *list = window.findChild<QListView *>("queue");
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject *, QEvent *event) override
            {
                paints += event->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } counter;
        QCoreApplication::processEvents();
        list->viewport()->installEventFilter(&counter);
        // A change on every pass of the event loop for a second, as a worker that reports without pause.
        const QUuid id = manager->itemAt(0).id;
        int changes = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1000) {
            manager->change(id, [&changes](DownloadItem &item) { item.progress = ++changes % 100; });
            QCoreApplication::processEvents();
        }
        QVERIFY2(changes >= 100, qPrintable(QString::number(changes)));
        // One repaint a tick of 200 ms, with room for a late timer; never one a change.
        QVERIFY2(counter.paints <= 8, qPrintable(QString::number(counter.paints)));
        QTRY_VERIFY(counter.paints > 0);
    }

    void aRightClickActsOnTheRowUnderThePointer()
    {
        auto manager = makeManager();
        for (int i = 0; i < 30; ++i) {
            manager->add(QString("https://example.com/clip%1").arg(i));
            manager->change(manager->itemAt(0).id, [i](DownloadItem &item) { item.detail = QString("Row %1").arg(i); });
        }
        MainWindow window(*manager);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *list = window.findChild<QListView *>("queue");
        QTRY_VERIFY(list->verticalScrollBar()->maximum() > 10 * delegateOf(list).rowHeight());
        // A click on a section takes the focus away from the list; the wheel then scrolls it from outside.
        const auto at = [](QWidget *widget, QPoint point) {
            const QPoint global = widget->mapToGlobal(point);
            return programOutput("xdotool",
                                 {"mousemove", "--sync", QString::number(global.x()), QString::number(global.y())})
                .has_value();
        };
        QPushButton *section = nullptr;
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->accessibleName() == "All downloads")
                section = button;
        }
        QVERIFY(section && at(section, section->rect().center()));
        QVERIFY(programOutput("xdotool", {"click", "1"}));
        QTRY_VERIFY(!list->hasFocus());
        const QPoint pointer(list->viewport()->width() / 3, delegateOf(list).cardHeight() / 2);
        QVERIFY(at(list->viewport(), pointer));
        QVERIFY(programOutput("xdotool", {"click", "--repeat", "4", "--delay", "30", "5"}));
        QTRY_VERIFY(list->verticalScrollBar()->value() >= 2 * delegateOf(list).rowHeight());
        QTest::qWait(100); // the last wheel step
        const QModelIndex under = list->indexAt(pointer);
        QVERIFY(under.isValid() && under.row() >= 2);
        const QString expected = manager->itemAt(under.row()).detail;

        // The menu that opens is the row's: its Copy status copies that row's status.
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&poll] {
            if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                poll.stop();
                for (QAction *action : menu->actions()) {
                    if (action->text() == "Copy status")
                        action->trigger();
                }
                menu->close();
            }
        });
        poll.start(20);
        QApplication::clipboard()->clear();
        QVERIFY(programOutput("xdotool", {"click", "3"}));
        QTRY_COMPARE(QApplication::clipboard()->text(), expected);
        QVERIFY(list->verticalScrollBar()->value() >= 2 * delegateOf(list).rowHeight());
    }

    void untrustedTextStaysText()
    {
        const QString hostile = "<img src=x><b>bold</b> & co";
        auto manager = makeManager();
        manager->add("https://example.com/hostile");
        manager->change(manager->itemAt(0).id, [&hostile](DownloadItem &item) {
            item.title = hostile;
            item.detail = "ERROR: " + hostile;
        });
        manager->setFolder("/tmp/<b>folder</b>");
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Every label shows text as it is.
        for (QLabel *label : window.findChildren<QLabel *>()) {
            if (!label->text().isEmpty())
                QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->text()));
        }
        // The row's tooltip reads as the status, not as markup.
        auto *list = window.findChild<QListView *>("queue");
        const QRect row = list->visualRect(list->model()->index(0, 0));
        const QPoint at = row.topLeft() + QPoint(200, row.height() / 2);
        QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(list->viewport(), &help);
        QTRY_VERIFY(QToolTip::isVisible());
        // The status, then the link, which tells rows of one site apart.
        QCOMPARE(QToolTip::text(), Theme::plainToolTip("ERROR: " + hostile + "\nhttps://example.com/hostile"));
        QVERIFY(QToolTip::text().contains("&lt;img src=x&gt;&lt;b&gt;bold&lt;/b&gt; &amp; co"));
        QToolTip::hideText();
        QVERIFY(Qt::mightBeRichText(Theme::plainToolTip(hostile))); // so the escapes are read, not shown
    }

    void folderPickerFromTheBrowserIsUsable()
    {
        auto manager = makeManager();
        MainWindow window(*manager);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        manager->add("https://mega.nz/folder/AAAAAAAA#bqYT8Zdz0BGhr4DVR5LW4w");
        QDialog *browser = nullptr;
        QTRY_VERIFY((browser = window.findChild<QDialog *>(QString(), Qt::FindDirectChildrenOnly)) &&
                    browser->isVisible());
        QPushButton *change = nullptr;
        for (QPushButton *button : browser->findChildren<QPushButton *>()) {
            if (button->text() == "Change folder\u2026")
                change = button;
        }
        QVERIFY(change);
        change->click();
        DownloadFolderPicker &panel = window.folderPanel();
        QTRY_VERIFY(panel.isVisible());
        // It belongs to the modal browser, which therefore does not block it.
        QCOMPARE(panel.parentWidget(), browser);
        panel.setPath(m_dir.filePath("from-browser"));
        QTest::keyClick(&panel, Qt::Key_Return);
        QVERIFY(!panel.isVisible());
        QCOMPARE(manager->folder(), m_dir.filePath("from-browser"));
        QVERIFY(browser->isVisible()); // the browser, and its selection, are still there
        browser->reject();
        // From the window, the picker is the window's again.
        QTRY_VERIFY(!manager->folderRequest());
        manager->chooseFolder();
        QTRY_VERIFY(window.folderPanel().isVisible());
        QCOMPARE(window.folderPanel().parentWidget(), &window);
        window.folderPanel().hide();
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
        QTest::keyClicks(search, "video/2");
        QCOMPARE(list->model()->rowCount(), 1); // found through its link
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
                                   << QStringList{"Show in Folder", "Remove from queue"};
        // A failed item waiting to try again (the state past the last one here).
        QTest::newRow("waiting to try again")
            << int(allDownloadStates.size()) << QStringList{"Retry now", "Pause", "Remove from queue"};
    }
    void rowButtonsPerState()
    {
        QFETCH(int, state);
        QFETCH(QStringList, buttons);
        auto manager = makeManager();
        DownloadRowDelegate delegate(*manager);
        DownloadItem item("https://example.com/v", "v", "/tmp", "Best available", "None");
        item.state = static_cast<DownloadState>(state);
        if (state == int(allDownloadStates.size())) {
            item.state = DownloadState::failed;
            item.retryAt = QDateTime::currentDateTimeUtc().addSecs(30);
        }
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
                                               "stay on disk; the partial files of unfinished downloads are deleted.");
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
            QCOMPARE(manager->notice(), "Queue cleared. Downloaded files remain on disk.");
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

    void commandLineAnswersOnTheTerminal_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("starts");
        QTest::newRow("--help") << "--help"
                                << "Usage: LarkDownloader [LINK...]\n";
        QTest::newRow("-h") << "-h"
                            << "Usage: LarkDownloader";
        QTest::newRow("--version") << "--version"
                                   << "LarkDownloader 1.2.0\n";
    }
    void commandLineAnswersOnTheTerminal()
    {
        QFETCH(QString, option);
        QFETCH(QString, starts);
        // No display at all: an answer that opened a window could not be given.
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.insert("QT_QPA_PLATFORM", "xcb");
        app.setProcessEnvironment(environment);
        app.start(QStringLiteral(LARK_APP_PATH), {option});
        QVERIFY(app.waitForFinished(60000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(app.exitCode(), 0);
        const QString output = QString::fromUtf8(app.readAllStandardOutput());
        QVERIFY2(output.startsWith(starts), qPrintable(output));
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
        // Its instance lock is taken once its signal handling is in place; a fixed wait was too short on a busy
        // machine.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home.filePath("data/Lark Downloader/instance.lock")), 60000);
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
        // Opened again after it was closed, it has no message from before.
        manager->chooseFolder();
        panel.setPath("relative/again");
        QTest::keyClick(&panel, Qt::Key_Return);
        QVERIFY(!panel.error().isEmpty());
        QTest::keyClick(&panel, Qt::Key_Escape);
        manager->chooseFolder();
        QTRY_VERIFY(panel.isVisible());
        QCOMPARE(panel.error(), QString());
        QCOMPARE(panel.path(), m_dir.filePath("chosen"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
