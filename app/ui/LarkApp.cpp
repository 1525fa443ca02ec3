#include "app/ui/LarkApp.h"

#include "app/notifications/DownloadNotifications.h"
#include "app/ui/ContentView.h"
#include "app/ui/MainWindow.h"

#include <QApplication>

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
