#pragma once

#include "app/manager/DownloadManager.h"

#include <QObject>

#include <memory>

class MainWindow;
class QSystemTrayIcon;

// The application: one manager, one window. When the window first appears
// the manager is configured and pumped; every way of quitting runs the
// manager's shutdown first, so running downloads are paused and saved.
class LarkApp : public QObject {
    Q_OBJECT

public:
    explicit LarkApp(DownloadManager::Options options = {}, QObject *parent = nullptr);
    ~LarkApp() override;

    DownloadManager &manager() { return *m_manager; }
    MainWindow &window() { return *m_window; }
    void show();
    // Shows the window in front of the others, also when it was minimised.
    void bringToFront();
    // Links handed over from the command line, a later launch or the browser:
    // added as if pasted (once the window has appeared), and the window comes forward.
    void open(const QStringList &links);
    // What every way of quitting runs first.
    void aboutToQuit();
    // Whether closing the window leaves Lark running in the desktop's tray.
    bool keepsRunningInTray() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setUpTray();
    void updateTray();

    std::unique_ptr<DownloadManager> m_manager;
    QSystemTrayIcon *m_tray = nullptr;
    std::unique_ptr<MainWindow> m_window;
    bool m_shown = false;
    QStringList m_waitingLinks;
};
