#pragma once

#include <QMainWindow>
#include <QPointer>

class ContentView;
class DownloadFolderPicker;
class DownloadManager;

// The one window of the application.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(DownloadManager &manager, QWidget *parent = nullptr);

    ContentView &content() const { return *m_content; }
    // The window's place: the size and position it wants, clamped so that the
    // whole window, frame included, lies in the available area (never below
    // the minimum size); without a position it is centred there.
    static QRect fittedGeometry(const QRect &wanted, const QRect &available, const QMargins &frame,
                                const QSize &minimum);
    // Remembers the window's place for the next launch.
    void rememberGeometry();
    // The "Download location" panel, made on first use and then only hidden.
    DownloadFolderPicker &folderPanel();

Q_SIGNALS:
    void firstShown();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void chooseFolder();
    void placeOnScreen();
    void refitToFrame();

    DownloadManager &m_manager;
    ContentView *m_content;
    QPointer<DownloadFolderPicker> m_folderPanel;
    bool m_shown = false;
};
