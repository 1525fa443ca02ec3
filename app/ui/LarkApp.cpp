#include "app/ui/LarkApp.h"

#include "app/notifications/DownloadNotifications.h"
#include "app/ui/ContentView.h"
#include "app/ui/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QSettings>
#include <QSystemTrayIcon>

LarkApp::LarkApp(DownloadManager::Options options, QObject *parent) :
    QObject(parent),
    m_manager(std::make_unique<DownloadManager>(std::move(options))),
    m_window(std::make_unique<MainWindow>(*m_manager))
{
    m_manager->setNotifier(&DownloadNotifications::shared());
    connect(m_window.get(), &MainWindow::firstShown, this, [this] {
        m_shown = true;
        m_manager->configureNotifications();
        m_manager->checkYtDlp();
        m_window->raise();
        m_window->activateWindow();
        m_manager->pump();
        if (!m_waitingLinks.isEmpty())
            open(std::exchange(m_waitingLinks, {}));
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, &LarkApp::aboutToQuit);
    m_window->setWindowIcon(
        QIcon::fromTheme(QStringLiteral("lark-downloader"), QIcon(QStringLiteral(":/lark-downloader.svg"))));
    // Closing the window decides whether to quit: the tray may keep Lark running.
    m_window->installEventFilter(this);
    QApplication::setQuitOnLastWindowClosed(false);
    setUpTray();
}

void LarkApp::setUpTray()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    m_tray = new QSystemTrayIcon(m_window->windowIcon(), this);
    auto *menu = new QMenu(m_window.get());
    menu->addAction(QStringLiteral("Show Lark"), this, &LarkApp::bringToFront);
    menu->addAction(QStringLiteral("Pause all"), m_manager.get(), &DownloadManager::pauseAll);
    menu->addAction(QStringLiteral("Resume all"), m_manager.get(), &DownloadManager::resumeAll);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Quit"), qApp, &QApplication::quit);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger)
            return;
        if (m_window->isVisible() && !m_window->isMinimized() && m_window->isActiveWindow())
            m_window->hide();
        else
            bringToFront();
    });
    connect(m_manager.get(), &DownloadManager::countsChanged, this, &LarkApp::updateTray);
    updateTray();
    m_tray->show();
}

void LarkApp::updateTray()
{
    const int running = m_manager->active();
    const int waiting = m_manager->waiting();
    QString tip = QStringLiteral("Lark Downloader");
    if (running > 0 || waiting > 0)
        tip += QStringLiteral(": %1 downloading, %2 queued").arg(running).arg(waiting);
    m_tray->setToolTip(tip);
}

bool LarkApp::keepsRunningInTray() const
{
    return m_tray && m_tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

bool LarkApp::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window.get() || event->type() != QEvent::Close)
        return QObject::eventFilter(watched, event);
    if (!keepsRunningInTray()) {
        // No tray to come back from: closing quits, which pauses and saves.
        QMetaObject::invokeMethod(qApp, &QApplication::quit, Qt::QueuedConnection);
        return false;
    }
    event->ignore();
    m_window->rememberGeometry();
    m_window->hide();
    // Said once: where Lark went, and how to quit it.
    const QString toldKey = QStringLiteral("toldAboutTray");
    if (!m_manager->settings().value(toldKey).toBool()) {
        m_manager->settings().setValue(toldKey, true);
        m_tray->showMessage(QStringLiteral("Lark keeps downloading"),
                            QStringLiteral("Closing the window leaves Lark running in the tray. Choose Quit in "
                                           "its menu to stop it."),
                            m_window->windowIcon(), 8000);
    }
    return true;
}

void LarkApp::aboutToQuit()
{
    // Before the window ever appeared there is nothing to stop or save.
    if (m_shown) {
        m_window->rememberGeometry();
        m_manager->shutdown();
    }
}

LarkApp::~LarkApp() = default;

void LarkApp::show()
{
    m_window->show();
}

void LarkApp::open(const QStringList &links)
{
    if (!links.isEmpty()) {
        if (!m_shown) {
            m_waitingLinks += links;
            return;
        }
        m_window->content().addLinks(links.join(QLatin1Char('\n')));
    }
    bringToFront();
}

void LarkApp::bringToFront()
{
    if (m_window->isMinimized())
        m_window->showNormal();
    else
        m_window->show();
    m_window->raise();
    m_window->activateWindow();
}
