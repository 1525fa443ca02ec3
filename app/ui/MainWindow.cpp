#include "app/ui/MainWindow.h"

#include "app/manager/DownloadManager.h"
#include "app/ui/ContentView.h"
#include "app/ui/DownloadFolderPicker.h"

#include <QAction>
#include <QApplication>
#include <QMenuBar>

MainWindow::MainWindow(DownloadManager &manager, QWidget *parent) :
    QMainWindow(parent),
    m_manager(manager),
    m_content(new ContentView(manager, this))
{
    setWindowTitle(QStringLiteral("Lark Downloader"));
    setCentralWidget(m_content);
    setMinimumSize(1000, 680);
    resize(1180, 800);
    // No command opens a second window and there is no Help menu: only Quit.
    auto *quit = new QAction(QStringLiteral("Quit"), this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);
    addAction(quit);
    connect(&m_manager, &DownloadManager::folderPanelRequested, this, &MainWindow::chooseFolder);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        Q_EMIT firstShown();
    }
}

DownloadFolderPicker &MainWindow::folderPanel()
{
    if (!m_folderPanel) {
        QPointer<DownloadManager> manager(&m_manager);
        m_folderPanel = new DownloadFolderPicker(
            m_manager.folder(),
            [manager](const QString &path) {
                if (manager)
                    manager->saveChosenFolder(path);
            },
            this);
    }
    return *m_folderPanel;
}

void MainWindow::chooseFolder()
{
    DownloadFolderPicker &panel = folderPanel();
    if (!panel.isVisible())
        panel.setPath(m_manager.folder());
    panel.show();
    panel.raise();
    panel.activateWindow();
}
