#pragma once

#include "model/MegaFolderRequest.h"

#include <QDialog>

class DownloadManager;
class MegaFolderBrowserModel;
class MegaFolderEntries;
class QCheckBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QStackedWidget;
class QToolButton;

// The modal panel in which the user browses one shared MEGA folder and picks
// the files to download.
class MegaFolderBrowser : public QDialog {
    Q_OBJECT

public:
    MegaFolderBrowser(DownloadManager &manager, const MegaFolderRequest &request, const QString &toolDirectory,
                      QWidget *parent = nullptr);
    ~MegaFolderBrowser() override;

    MegaFolderBrowserModel &model() const { return *m_model; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

public Q_SLOTS:
    void done(int result) override;

private:
    QWidget *buildHeader();
    QWidget *buildLoadingPage();
    QWidget *buildErrorPage();
    QWidget *buildBrowserPage();
    QWidget *buildFooter();
    void updateBody();
    void updateReading();
    void updateNavigation();
    void updateFilters();
    void updateSelection();
    void updateFolder();
    void downloadSelected();

    DownloadManager &m_manager;
    MegaFolderBrowserModel *m_model;
    MegaFolderEntries *m_entries;
    bool m_loaded = false;

    QStackedWidget *m_body = nullptr;
    QWidget *m_loadingPage = nullptr;
    QLabel *m_loadingTitle = nullptr;
    QTimer *m_readingTick = nullptr;
    QWidget *m_errorPage = nullptr;
    QWidget *m_browserPage = nullptr;
    QLabel *m_errorText = nullptr;
    QToolButton *m_parentButton = nullptr;
    class QScrollArea *m_trail = nullptr;
    QLineEdit *m_search = nullptr;
    QCheckBox *m_videosOnly = nullptr;
    QCheckBox *m_recursive = nullptr;
    QCheckBox *m_selectedOnly = nullptr;
    QLabel *m_shownCount = nullptr;
    QPushButton *m_selectAll = nullptr;
    QPushButton *m_clearSelection = nullptr;
    QLabel *m_skipped = nullptr;
    QStackedWidget *m_listRegion = nullptr;
    QLabel *m_noMatches = nullptr;
    QListView *m_list = nullptr;
    QLabel *m_summary = nullptr;
    QLabel *m_saveTo = nullptr;
    QPushButton *m_download = nullptr;
};
