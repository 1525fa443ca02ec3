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
#include <cmath>

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

namespace {

// The frame the window manager announces for a window (_NET_FRAME_EXTENTS), in
// the window's own units; Qt reads it only now and then, and may hold a stale one.
xcb_connection_t *x11Connection()
{
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// _NET_FRAME_EXTENTS, asked of the X server once.
xcb_atom_t frameExtentsAtom(xcb_connection_t *connection)
{
    static const xcb_atom_t extents = [connection] {
        const char name[] = "_NET_FRAME_EXTENTS";
        xcb_intern_atom_reply_t *reply =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 1, sizeof name - 1, name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
        free(reply);
        return atom;
    }();
    return extents;
}

std::optional<QMargins> announcedFrame(const QWidget &window)
{
    xcb_connection_t *connection = x11Connection();
    if (!connection || !window.windowHandle())
        return std::nullopt;
    const xcb_atom_t extents = frameExtentsAtom(connection);
    if (extents == XCB_ATOM_NONE)
        return std::nullopt;
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, static_cast<xcb_window_t>(window.winId()), extents, XCB_ATOM_CARDINAL, 0, 4),
        nullptr);
    std::optional<QMargins> frame;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 16) {
        const auto *sides = static_cast<const quint32 *>(xcb_get_property_value(reply));
        // Left, right, top, bottom, in device pixels: rounded up, so the frame never ends up off screen.
        const qreal ratio = window.devicePixelRatioF();
        const auto side = [ratio](quint32 pixels) { return static_cast<int>(std::ceil(pixels / ratio)); };
        frame = QMargins(side(sides[0]), side(sides[2]), side(sides[1]), side(sides[3]));
    }
    free(reply);
    return frame;
}

} // namespace

void MainWindow::refitToFrame()
{
    // Only now does the window manager's frame have a size; a title bar must not end up off screen.
    QScreen *screen = this->screen();
    if (!screen || isMaximized() || isFullScreen())
        return;
    const QRect inner = geometry();
    QMargins margins;
    if (const auto announced = announcedFrame(*this)) {
        margins = *announced;
    } else {
        const QRect frame = frameGeometry();
        margins = QMargins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
                           frame.bottom() - inner.bottom());
    }
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
    // The window manager announces its frame as a property of the window,
    // often after the window first shows.
    if (!m_shown || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
        return false;
    const auto *change = reinterpret_cast<const xcb_property_notify_event_t *>(event);
    if (change->window == winId() && change->atom == frameExtentsAtom(x11Connection()))
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
