// The real application as a desktop starts it: a second launch, a small
// screen without a window manager, and no session bus at all.
#include "tests/support/DesktopStandIns.h"
#include "tests/support/Programs.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <xcb/xcb.h>

#include <csignal>
#include <optional>

namespace {

// The geometry of the application's top-level window on a display (on the
// screen, inside any frame), from the X server itself; with its window id.
std::optional<QRect> windowOnDisplay(const QString &display, QString *id = nullptr)
{
    const auto tree = programOutput(QStringLiteral("xwininfo"), {"-display", display, "-root", "-tree"});
    if (!tree)
        return {};
    static const QRegularExpression line(
        R"((0x[0-9a-f]+) "Lark Downloader": \("LarkDownloader" "Lark Downloader"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))");
    const QRegularExpressionMatch match = line.match(QString::fromUtf8(*tree));
    if (!match.hasMatch())
        return {};
    if (id)
        *id = match.captured(1);
    return QRect(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(2).toInt(),
                 match.captured(3).toInt());
}

// The frame a window manager put around a window, as it announces it.
QMargins frameOf(const QString &display, const QString &id)
{
    const auto extents = programOutput(QStringLiteral("xprop"), {"-display", display, "-id", id, "_NET_FRAME_EXTENTS"});
    static const QRegularExpression numbers(R"(= (\d+), (\d+), (\d+), (\d+))");
    const QRegularExpressionMatch match = numbers.match(extents ? QString::fromUtf8(*extents) : QString());
    if (!match.hasMatch())
        return {};
    return {match.captured(1).toInt(), match.captured(3).toInt(), match.captured(2).toInt(), match.captured(4).toInt()};
}

// Whether a window shows, as the X server says.
QString mapState(const QString &display, const QString &id)
{
    const auto info = programOutput(QStringLiteral("xwininfo"), {"-display", display, "-id", id});
    static const QRegularExpression state(R"(Map State: (\w+))");
    return state.match(info ? QString::fromUtf8(*info) : QString()).captured(1);
}

// Asks a window to close as its title bar's close button would (WM_DELETE_WINDOW).
bool closeLikeTheTitleBar(const QString &id)
{
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11)
        return false;
    xcb_connection_t *connection = x11->connection();
    const auto atom = [connection](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(qstrlen(name)), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
        free(reply);
        return found;
    };
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id.toUInt(nullptr, 16);
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, 0, message.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&message));
    xcb_flush(connection);
    return true;
}

// The labels and ids of a tray item's menu, from its dbusmenu layout.
QHash<QString, int> menuEntries(const QDBusArgument &layout)
{
    QHash<QString, int> entries;
    int id = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    if (properties.contains("label"))
        entries.insert(properties.value("label").toString(), id);
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        entries.insert(menuEntries(child.variant().value<QDBusArgument>()));
    }
    layout.endArray();
    layout.endStructure();
    return entries;
}

} // namespace

class TestDesktopLaunch : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_home;

    QString storage() const { return m_home.filePath(".local/share/Lark Downloader"); }

    // The application in the test's home; bus is the session bus address it sees.
    void start(QProcess &app, const QString &bus, const QString &display = QString(), const QString &scale = QString(),
               const QStringList &arguments = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", m_home.path());
        environment.insert("XDG_DATA_HOME", m_home.filePath(".local/share"));
        environment.insert("XDG_CONFIG_HOME", m_home.filePath(".config"));
        environment.insert("XDG_RUNTIME_DIR", m_home.filePath("runtime"));
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        if (!display.isEmpty())
            environment.insert("DISPLAY", display);
        if (!scale.isEmpty())
            environment.insert("QT_SCALE_FACTOR", scale);
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.setStandardOutputFile(QProcess::nullDevice());
        app.start(QStringLiteral(LARK_APP_PATH), arguments);
        QVERIFY(app.waitForStarted());
    }

    // Whether the history of the copy that runs holds a link.
    bool historyHolds(const QString &link) const
    {
        QFile history(storage() + "/queue.json");
        return history.open(QIODevice::ReadOnly) && history.readAll().contains(link.toUtf8());
    }

    QString deadBus() const { return "unix:path=" + m_home.filePath("no-bus"); }

    static void quit(QProcess &app)
    {
        if (app.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
        if (!app.waitForFinished(10000))
            app.kill();
        app.waitForFinished();
    }

    // The process id written in a lock (the storage's by default), once a launch holds it.
    qint64 lockHolder(const QString &path = QString()) const
    {
        QFile lock(path.isEmpty() ? storage() + "/instance.lock" : path);
        return lock.open(QIODevice::ReadOnly) ? lock.readLine().trimmed().toLongLong() : 0;
    }

    static QColor shownAt(const QPoint &point)
    {
        return QGuiApplication::primaryScreen()->grabWindow(0, point.x(), point.y(), 1, 1).toImage().pixelColor(0, 0);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QDir(m_home.path()).mkpath(".local/bin"));
        QVERIFY(QDir(m_home.path()).mkpath("runtime"));
        QFile::setPermissions(m_home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void secondLaunchBringsTheFirstForward_data()
    {
        QTest::addColumn<bool>("withBus");
        QTest::newRow("over the session bus") << true;
        QTest::newRow("without a session bus") << false;
    }
    void secondLaunchBringsTheFirstForward()
    {
        QFETCH(bool, withBus);
        PrivateSessionBus daemon;
        const QString address = withBus ? daemon.start() : deadBus();
        QVERIFY(!address.isEmpty());
        QDBusConnection bus = QDBusConnection::connectToBus(address, "launch-test");
        QCOMPARE(bus.isConnected(), withBus);

        QProcess first;
        const auto stopFirst = qScopeGuard([&first] { quit(first); });
        start(first, address);
        if (withBus)
            QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered("org.lark.Downloader"), 120000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(
                QFile::exists(m_home.filePath("runtime")) &&
                    !QDir(m_home.filePath("runtime")).entryList({"lark-downloader-*.socket"}, QDir::System).isEmpty(),
                120000);
        QTRY_VERIFY_WITH_TIMEOUT(windowOnDisplay(qEnvironmentVariable("DISPLAY")), 120000);
        const QRect shown = *windowOnDisplay(qEnvironmentVariable("DISPLAY"));

        // Something else covers the window.
        QWidget cover;
        cover.setWindowFlag(Qt::FramelessWindowHint);
        QPalette red = cover.palette();
        red.setColor(QPalette::Window, Qt::red);
        cover.setPalette(red);
        cover.setAutoFillBackground(true);
        cover.setGeometry(QGuiApplication::primaryScreen()->geometry());
        cover.show();
        QVERIFY(QTest::qWaitForWindowExposed(&cover));
        // The first window raises itself once when it is first shown, which on
        // a slow machine may come after the cover: the cover is raised again
        // until it stays in front.
        const auto covered = [&] {
            cover.raise();
            QTest::qWait(200);
            return shownAt(shown.center()) == QColor(Qt::red);
        };
        QTRY_VERIFY_WITH_TIMEOUT(covered(), 120000);
        QTest::qWait(1000);
        QTRY_VERIFY_WITH_TIMEOUT(covered(), 120000);

        QProcess second;
        start(second, address);
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
        QCOMPARE(lockHolder(), first.processId());
        // The first window is in front again.
        QTRY_VERIFY_WITH_TIMEOUT(shownAt(shown.center()) != QColor(Qt::red), 120000);
        quit(first);
        QDBusConnection::disconnectFromBus("launch-test");
    }

    void closingTheWindow_data()
    {
        QTest::addColumn<bool>("withTray");
        QTest::newRow("a desktop with a tray") << true;
        QTest::newRow("no tray") << false;
    }
    void closingTheWindow()
    {
        QFETCH(bool, withTray);
        PrivateSessionBus daemon;
        const QString address = daemon.start();
        QDBusConnection bus = QDBusConnection::connectToBus(address, "tray-test");
        const auto disconnect = qScopeGuard([] { QDBusConnection::disconnectFromBus("tray-test"); });
        QVERIFY(bus.isConnected());
        FakeTrayHost host;
        if (withTray)
            QVERIFY(host.publish(bus));
        QProcess app;
        const auto stopApp = qScopeGuard([&app] { quit(app); });
        start(app, address);
        const QString display = qEnvironmentVariable("DISPLAY");
        QString id;
        QTRY_VERIFY_WITH_TIMEOUT(windowOnDisplay(display, &id) && mapState(display, id) == "IsViewable", 120000);
        QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), app.processId(), 120000);
        if (withTray)
            QTRY_VERIFY_WITH_TIMEOUT(!host.items.isEmpty(), 120000);
        QVERIFY(closeLikeTheTitleBar(id));
        if (!withTray) {
            // Without a tray to come back from, closing quits.
            QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 60000);
            QCOMPARE(app.exitCode(), 0);
            return;
        }
        // With one, the window goes and Lark runs on.
        QTRY_COMPARE_WITH_TIMEOUT(mapState(display, id), "IsUnMapped", 120000);
        QTest::qWait(300);
        QCOMPARE(app.state(), QProcess::Running);
        QVERIFY(QFile(m_home.filePath(".config/Lark/Lark Downloader.conf")).open(QIODevice::ReadOnly));

        // Its menu: Show brings the window back, Quit ends Lark.
        const QString service = host.items.first();
        QDBusMessage get =
            QDBusMessage::createMethodCall(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get");
        get << QString("org.kde.StatusNotifierItem") << QString("Menu");
        const QDBusMessage menu = bus.call(get);
        const auto menuPath = menu.arguments().value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>();
        QVERIFY(!menuPath.path().isEmpty());
        QDBusMessage layout =
            QDBusMessage::createMethodCall(service, menuPath.path(), "com.canonical.dbusmenu", "GetLayout");
        layout << 0 << -1 << QStringList();
        const QDBusMessage answer = bus.call(layout);
        QCOMPARE(answer.type(), QDBusMessage::ReplyMessage);
        const QHash<QString, int> entries = menuEntries(answer.arguments().at(1).value<QDBusArgument>());
        for (const char *label : {"Show Lark", "Pause all", "Resume all", "Quit"})
            QVERIFY2(entries.contains(label), label);
        // As a panel does, without blocking: on its way out Lark leaves the host, here.
        QList<QDBusPendingCall> clicks;
        const auto click = [&](const char *label) {
            QDBusMessage event =
                QDBusMessage::createMethodCall(service, menuPath.path(), "com.canonical.dbusmenu", "Event");
            event << entries.value(label) << QString("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
            clicks.append(bus.asyncCall(event));
        };
        click("Show Lark");
        QTRY_COMPARE_WITH_TIMEOUT(mapState(display, id), "IsViewable", 120000);
        click("Quit");
        QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 60000);
        for (QDBusPendingCall &answer : clicks)
            QTRY_VERIFY_WITH_TIMEOUT(answer.isFinished(), 60000);
        QCOMPARE(app.exitCode(), 0);
    }

    void linksOnTheCommandLine()
    {
        // The first launch adds its own links; later ones hand theirs over and end.
        QProcess first;
        const auto stopFirst = qScopeGuard([&first] { quit(first); });
        start(first, deadBus(), QString(), QString(), {"https://example.com/first-link"});
        QTRY_VERIFY_WITH_TIMEOUT(historyHolds("https://example.com/first-link"), 120000);
        QTRY_VERIFY_WITH_TIMEOUT(
            !QDir(m_home.filePath("runtime")).entryList({"lark-downloader-*.socket"}, QDir::System).isEmpty(), 120000);
        QProcess second;
        start(second, deadBus(), QString(), QString(),
              {"https://example.com/second-link", "https://example.com/third-link"});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(
            historyHolds("https://example.com/second-link") && historyHolds("https://example.com/third-link"), 120000);
        QCOMPARE(first.state(), QProcess::Running);

        // An option it does not know is said, and nothing is handed over.
        QProcess wrong;
        wrong.setProcessChannelMode(QProcess::SeparateChannels);
        start(wrong, deadBus(), QString(), QString(), {"--frobnicate", "https://example.com/fourth-link"});
        QVERIFY(wrong.waitForFinished(20000));
        QCOMPARE(wrong.exitCode(), 2);
        QTest::qWait(500);
        QVERIFY(!historyHolds("https://example.com/fourth-link"));
    }

    void oneManagerWithoutABusAndAStaleLockTakenOver()
    {
        QProcess first;
        const auto stopFirst = qScopeGuard([&first] { quit(first); });
        start(first, deadBus());
        QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), first.processId(), 120000);
        QProcess second;
        start(second, deadBus());
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        // Killed, the first leaves its lock behind; the next launch takes it over and runs.
        first.kill();
        QVERIFY(first.waitForFinished(10000));
        QVERIFY(QFile::exists(storage() + "/instance.lock"));
        QProcess third;
        const auto stopThird = qScopeGuard([&third] { quit(third); });
        start(third, deadBus());
        QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), third.processId(), 120000);
        QCOMPARE(third.state(), QProcess::Running);
        quit(third);
        QCOMPARE(third.exitCode(), 0);
    }

    void oneManagerWhenTheStorageCannotHoldALock()
    {
        // Where the history should be stands a file: no lock can be made there.
        QVERIFY(QDir(m_home.path()).mkpath(".local/share"));
        const QString aside = storage() + ".aside";
        QVERIFY(!QFileInfo::exists(storage()) || QDir().rename(storage(), aside));
        QFile blocker(storage());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const auto unblock = qScopeGuard([this, aside] {
            QFile::remove(storage());
            QDir().rename(aside, storage());
        });
        QProcess first;
        const auto stopFirst = qScopeGuard([&first] { quit(first); });
        start(first, deadBus());
        // The stand-in lock in the runtime directory holds the first launch's id.
        const auto standInHolder = [this] {
            const QStringList locks =
                QDir(m_home.filePath("runtime")).entryList({"lark-downloader-*.lock"}, QDir::Files | QDir::Hidden);
            return locks.isEmpty() ? 0 : lockHolder(m_home.filePath("runtime/") + locks.first());
        };
        QTRY_COMPARE_WITH_TIMEOUT(standInHolder(), first.processId(), 120000);
        QProcess second;
        start(second, deadBus());
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);
    }

    void firstLaunchFitsALaptopScreen_data()
    {
        QTest::addColumn<bool>("windowManager");
        QTest::addColumn<QString>("scale");
        QTest::newRow("no window manager") << false << QString();
        QTest::newRow("openbox") << true << QString();
        QTest::newRow("openbox at 125 %") << true << QStringLiteral("1.25");
    }
    void firstLaunchFitsALaptopScreen()
    {
        QFETCH(bool, windowManager);
        QFETCH(QString, scale);
        // A screen of its own, 1366x768.
        QProcess server;
        // -noreset: the probes below come and go, and a server that resets when its
        // last client leaves refuses the application's connection meanwhile.
        server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1366x768x24", "-nolisten", "tcp", "-noreset"});
        QVERIFY(server.waitForStarted());
        const auto stopServer = qScopeGuard([&server] {
            server.terminate();
            server.waitForFinished();
        });
        QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 120000);
        const QString display = ":" + QString::fromLatin1(server.readLine().trimmed());
        // The server named its display; the application starts once it also answers there.
        const auto answers = [&display] {
            QProcess probe;
            probe.start("xdpyinfo", {"-display", display});
            return probe.waitForFinished(10000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(answers(), 120000);
        QProcess manager;
        const auto stopManager = qScopeGuard([&manager] {
            manager.terminate();
            manager.waitForFinished();
        });
        if (windowManager) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("DISPLAY", display);
            environment.insert("HOME", m_home.path());
            manager.setProcessEnvironment(environment);
            manager.setStandardOutputFile(QProcess::nullDevice());
            manager.setStandardErrorFile(QProcess::nullDevice());
            manager.start("openbox", {"--sm-disable"});
            QVERIFY(manager.waitForStarted());
            // Managing once it names itself on the root window.
            QTRY_VERIFY_WITH_TIMEOUT(programOutput("xprop", {"-display", display, "-root", "_NET_SUPPORTING_WM_CHECK"})
                                         .value_or(QByteArray())
                                         .contains("window id"),
                                     120000);
        }
        QDir(storage()).removeRecursively();
        QFile::remove(m_home.filePath(".config/Lark/Lark Downloader.conf"));

        QProcess app;
        const auto stopApp = qScopeGuard([&app] { quit(app); });
        start(app, deadBus(), display, scale);
        QString id;
        QTRY_VERIFY_WITH_TIMEOUT(windowOnDisplay(display, &id) || app.state() == QProcess::NotRunning, 120000);
        QCOMPARE(app.state(), QProcess::Running);
        // The frame, title bar included, comes to lie on the screen, also when the
        // window manager announces it after the window first shows.
        QRect frame;
        const auto onScreen = [&] {
            const auto window = windowOnDisplay(display, &id);
            if (!window)
                return false;
            frame = window->marginsAdded(frameOf(display, id));
            return QRect(0, 0, 1366, 768).contains(frame) && (!windowManager || frame != *window);
        };
        QTRY_VERIFY2_WITH_TIMEOUT(onScreen(),
                                  qPrintable(QStringLiteral("frame %1x%2+%3+%4")
                                                 .arg(frame.width())
                                                 .arg(frame.height())
                                                 .arg(frame.x())
                                                 .arg(frame.y())),
                                  120000);
        QTest::qWait(300); // any later placement would come now
        QVERIFY(onScreen());
        const QRect window = *windowOnDisplay(display);
        // At 100 % the window keeps its width; at 125 % it fills the screen. Where
        // it goes is the window manager's to say, where there is one.
        QCOMPARE(window.width(), scale.isEmpty() ? 1180 : 1366 - (frame.width() - window.width()));
        if (!windowManager) {
            QCOMPARE(window.x(), (1366 - 1180) / 2);
            QCOMPARE(window.height(), 768);
        }
        const QByteArray directory = qgetenv("LARK_SCREENSHOT_DIR");
        if (!directory.isEmpty() && windowManager) {
            // The whole screen, frame and all, as the X server shows it.
            QProcess shot;
            shot.start("ffmpeg", {"-loglevel", "error", "-y", "-f", "x11grab", "-video_size", "1366x768", "-i", display,
                                  "-frames:v", "1",
                                  QString::fromLocal8Bit(directory) + "/laptop-openbox" +
                                      (scale.isEmpty() ? "" : "-125") + ".png"});
            shot.waitForFinished(60000);
        }
    }

    void withoutASessionBusABannerShows()
    {
        // A worker that finishes at once, printing as the real one is asked to.
        QFile worker(m_home.filePath(".local/bin/yt-dlp"));
        QVERIFY(worker.open(QIODevice::WriteOnly));
        worker.write(
            "#!/bin/sh\necho 'LARK_TITLE|\"Clip without a bus\"'\nmkdir -p \"$HOME/Downloads/Lark\"\n"
            "touch \"$HOME/Downloads/Lark/clip.mp4\"\necho \"LARK_FILE|\\\"$HOME/Downloads/Lark/clip.mp4\\\"\"\n");
        worker.close();
        worker.setPermissions(worker.permissions() | QFile::ExeOwner);

        QProcess app;
        const auto stopApp = qScopeGuard([&app] { quit(app); });
        start(app, deadBus());
        QTRY_VERIFY_WITH_TIMEOUT(windowOnDisplay(qEnvironmentVariable("DISPLAY")), 120000);
        const auto window = programOutput("xdotool", {"search", "--sync", "--onlyvisible", "--pid",
                                                      QString::number(app.processId()), "--name", "^Lark Downloader$"});
        QVERIFY(window && !window->trimmed().isEmpty());
        const QString id = QString::fromLatin1(window->trimmed().split('\n').first());
        // The link field has the focus when the window opens.
        QVERIFY(programOutput("xdotool",
                              {"windowfocus", "--sync", id, "type", "--delay", "1", "https://example.com/clip"}));
        QVERIFY(programOutput("xdotool", {"key", "ctrl+Return"}));
        QTRY_VERIFY_WITH_TIMEOUT(
            [] {
                const auto found = programOutput("xdotool", {"search", "--name", "^Download complete$"});
                return found && !found->trimmed().isEmpty();
            }(),
            20000);
        quit(app);
    }
};

QTEST_MAIN(TestDesktopLaunch)
#include "tst_desktoplaunch.moc"
