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
    // The "Download location" panel, made on first use and then only hidden.
    DownloadFolderPicker &folderPanel();

Q_SIGNALS:
    void firstShown();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void chooseFolder();

    DownloadManager &m_manager;
    ContentView *m_content;
    QPointer<DownloadFolderPicker> m_folderPanel;
    bool m_shown = false;
};
