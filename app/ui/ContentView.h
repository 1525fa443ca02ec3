#pragma once

#include <QWidget>

#include <functional>

class DownloadManager;
class DownloadRowDelegate;
class MegaFolderBrowser;
class QueueFilter;
class QueueView;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;
class QStackedWidget;
class QToolButton;

// The whole content of the main window: the sidebar, the composer, the
// statistics, the queue and the footer.
class ContentView : public QWidget {
    Q_OBJECT

public:
    explicit ContentView(DownloadManager &manager, QWidget *parent = nullptr);

    QString section() const;
    void setSection(const QString &section);
    QString links() const;
    void setLinks(const QString &links);
    void paste();
    // Adds links on lines of their own after what the field holds.
    void appendLinks(const QString &links);
    void addLinks();
    // Adds links handed over from outside the window, as the composer would.
    bool addLinks(const QString &links);
    // Whether a drag of links over the window is shown as welcome.
    bool showsDropTarget() const { return m_dropHint; }
    // Shows the clear-all confirmation; answers whether the queue was cleared.
    bool confirmClearAll();
    // Offers the links of the clipboard that are not yet in the queue, in one
    // line under the composer; a clipboard already offered is not offered again.
    void offerClipboardLinks();
    // The offer's text, empty when none shows.
    QString clipboardOffer() const;
    void acceptClipboardOffer();
    // Whether the window is too low for the full design and shows the compact one.
    bool isCompact() const { return m_compact; }

Q_SIGNALS:
    void sectionChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QWidget *buildSidebar();
    QWidget *buildMainColumn();
    QWidget *buildComposer();
    QWidget *buildStatistics();
    QWidget *buildQueue();
    QWidget *buildFooter();
    void updateCounts();
    void updateMainButton();
    void updateQueueState();
    void updateFooter();
    void updateDensity();
    void applyDensity(bool compact);
    void presentFolderBrowser();
    void presentPlaylistPicker();
    void syncBrowserMenu()
    {
        if (m_syncBrowserMenu)
            m_syncBrowserMenu();
    }
    void showDropTarget(bool shown);

    DownloadManager &m_manager;
    QueueFilter *m_filter;
    QList<QPushButton *> m_sectionButtons;
    QList<QLabel *> m_sectionCounters;
    QWidget *m_composer = nullptr;
    bool m_dropHint = false;
    QPlainTextEdit *m_editor = nullptr;
    QLabel *m_placeholder = nullptr;
    QComboBox *m_quality = nullptr;
    QPushButton *m_mainButton = nullptr;
    QLabel *m_active = nullptr;
    QLabel *m_waiting = nullptr;
    QLabel *m_finished = nullptr;
    QLabel *m_queueTitle = nullptr;
    QLabel *m_queueCount = nullptr;
    QLineEdit *m_search = nullptr;
    QStackedWidget *m_queueBody = nullptr;
    QLabel *m_emptyIcon = nullptr;
    QLabel *m_emptyTitle = nullptr;
    QLabel *m_emptyLine = nullptr;
    QueueView *m_list = nullptr;
    QWidget *m_offerBar = nullptr;
    QLabel *m_offerText = nullptr;
    QStringList m_offeredLinks;
    QString m_lastOfferedClipboard;
    QWidget *m_noticeBar = nullptr;
    QLabel *m_noticeIcon = nullptr;
    QLabel *m_notice = nullptr;
    QLabel *m_saveTo = nullptr;
    QCheckBox *m_notify = nullptr;
    QCheckBox *m_autoRetry = nullptr;
    QComboBox *m_concurrency = nullptr;
    MegaFolderBrowser *m_browser = nullptr;
    class PlaylistPicker *m_playlistPicker = nullptr;
    QPushButton *m_updateYtDlp = nullptr;
    std::function<void()> m_syncBrowserMenu;
    QVBoxLayout *m_column = nullptr;
    QVBoxLayout *m_composerColumn = nullptr;
    // What a window too low for the full design folds away or into one line.
    QWidget *m_promo = nullptr;
    QWidget *m_header = nullptr;
    QWidget *m_compactHeader = nullptr;
    QLabel *m_compactCounts = nullptr;
    QWidget *m_statistics = nullptr;
    QWidget *m_composerTop = nullptr;
    QWidget *m_sites = nullptr;
    bool m_compact = false;
    int m_compactSaving = -1;
};
