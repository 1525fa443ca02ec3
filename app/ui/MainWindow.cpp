#include "app/ui/MainWindow.h"

#include "app/manager/DownloadManager.h"
#include "app/ui/ContentView.h"
#include "app/ui/DownloadFolderPicker.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <climits>

#include <xcb/xcb.h>

MainWindow::MainWindow(DownloadManager &manager, QWidget *parent) :
    QMainWindow(parent),
    m_manager(manager),
    m_content(new ContentView(manager, this))
{
    setWindowTitle(QStringLiteral("Lark Downloader"));
    setCentralWidget(m_content);
    setMinimumSize(designMinimum);
    placeOnScreen();
    // The window manager's frame may be known only after the window shows.
    QCoreApplication::instance()->installNativeEventFilter(this);
    // No command opens a second window and there is no Help menu: only Quit.
    auto *quit = new QAction(QStringLiteral("Quit"), this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);
    addAction(quit);
    connect(&m_manager, &DownloadManager::folderPanelRequested, this, &MainWindow::chooseFolder);
}

MainWindow::~MainWindow()
{
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

namespace {

const QString geometryKey = QStringLiteral("windowGeometry");
// Tall enough for the full design with a few rows, where the screen allows.
const QSize defaultSize(1180, 1000);

} // namespace

QRect MainWindow::fittedGeometry(const QRect &wanted, const QRect &available, const QMargins &frame,
                                 const QSize &minimum)
{
    const QRect inside = available.marginsRemoved(frame);
    const QSize least = minimum.boundedTo(inside.size());
    const int width = std::max(least.width(), std::min(wanted.width(), inside.width()));
    const int height = std::max(least.height(), std::min(wanted.height(), inside.height()));
    // Where the window is larger than the area, its top left corner stays visible.
    const auto place = [](int wantedStart, int start, int room, int length, bool centre) {
        if (length >= room)
            return start;
        if (centre)
            return start + (room - length) / 2;
        return std::clamp(wantedStart, start, start + room - length);
    };
    const bool centre = wanted.topLeft() == QPoint(INT_MIN, INT_MIN);
    return {place(wanted.x(), inside.x(), inside.width(), width, centre),
            place(wanted.y(), inside.y(), inside.height(), height, centre), width, height};
}

void MainWindow::placeOnScreen()
{
    const QRect saved = m_manager.settings().value(geometryKey).toRect();
    QRect wanted(QPoint(INT_MIN, INT_MIN), defaultSize);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (saved.isValid()) {
        wanted = saved;
        // The screen it was last on, when that screen is still there.
        if (QScreen *last = QGuiApplication::screenAt(saved.center()))
            screen = last;
    }
    if (!screen) {
        resize(wanted.size());
        return;
    }
    setMinimumSize(designMinimum.boundedTo(screen->availableGeometry().size()));
    setGeometry(fittedGeometry(wanted, screen->availableGeometry(), {}, designMinimum));
    m_wanted = wanted;
}

void MainWindow::refitToFrame()
{
    // Only now does the window manager's frame have a size; a title bar must not end up off screen.
    QScreen *screen = this->screen();
    if (!screen || isMaximized() || isFullScreen())
        return;
    const QRect frame = frameGeometry();
    const QRect inner = geometry();
    const QMargins margins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                           frame.bottom() - inner.bottom());
    // Only a frame that changed moves the window: one the user placed stays.
    if (margins == m_fittedFrame)
        return;
    m_fittedFrame = margins;
    const QRect available = screen->availableGeometry();
    setMinimumSize(designMinimum.boundedTo(available.marginsRemoved(margins).size()));
    // The first frame places the window as first meant (centred on a first
    // launch), not where the window manager put it meanwhile.
    const QRect fitted = fittedGeometry(m_wanted.value_or(inner), available, margins, designMinimum);
    m_wanted.reset();
    if (fitted != inner)
        setGeometry(fitted);
}

bool MainWindow::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    // The window manager announces its frame (_NET_FRAME_EXTENTS) as a property
    // of the window, often after the window first shows; Qt reads it on demand.
    if (!m_shown || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) == XCB_PROPERTY_NOTIFY &&
        reinterpret_cast<const xcb_property_notify_event_t *>(event)->window == winId())
        QTimer::singleShot(0, this, &MainWindow::refitToFrame);
    return false;
}

void MainWindow::rememberGeometry()
{
    if (isMaximized() || isFullScreen())
        m_manager.settings().setValue(geometryKey, normalGeometry());
    else
        m_manager.settings().setValue(geometryKey, geometry());
    m_manager.settings().sync();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    rememberGeometry();
    QMainWindow::closeEvent(event);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        QTimer::singleShot(0, this, &MainWindow::refitToFrame);
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
    // Asked for from a modal panel (the folder browser), the picker must belong
    // to that panel, which would otherwise block it.
    QWidget *modal = QApplication::activeModalWidget();
    const auto ownedByPanel = [&panel](QWidget *widget) {
        for (; widget; widget = widget->parentWidget()) {
            if (widget == &panel)
                return true;
        }
        return false;
    };
    QWidget *owner = modal && !ownedByPanel(modal) ? modal : this;
    if (panel.parentWidget() != owner)
        panel.setParent(owner, panel.windowFlags());
    // Opened anew, the panel starts from the current folder with no message.
    if (!panel.isVisible())
        panel.reset(m_manager.folder());
    panel.show();
    panel.raise();
    panel.activateWindow();
}
