#pragma once

#include <QAbstractNativeEventFilter>
#include <QMainWindow>
#include <QPointer>

#include <optional>

class ContentView;
class DownloadFolderPicker;
class DownloadManager;

// The one window of the application.
class MainWindow : public QMainWindow, private QAbstractNativeEventFilter {
    Q_OBJECT

public:
    explicit MainWindow(DownloadManager &manager, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The smallest window of the design; on a screen lower or narrower than
    // that (a laptop at 125 %), the screen's area is the least.
    static constexpr QSize designMinimum{1000, 680};

    ContentView &content() const { return *m_content; }
    // The window's place: the size and position it wants, clamped so that the
    // whole window, frame included, lies in the available area (never below
    // the minimum size, unless the area itself is smaller); without a
    // position it is centred there.
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
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void chooseFolder();
    void placeOnScreen();
    void refitToFrame();

    DownloadManager &m_manager;
    ContentView *m_content;
    QPointer<DownloadFolderPicker> m_folderPanel;
    bool m_shown = false;
    QMargins m_fittedFrame;
    // Where the window was meant to go before its frame was known.
    std::optional<QRect> m_wanted;
};
