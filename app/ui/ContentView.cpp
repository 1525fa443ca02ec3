#include "app/ui/ContentView.h"

#include "app/browser/MegaFolderBrowser.h"
#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "app/manager/YtDlpCommand.h"
#include "app/records/LinkIntake.h"
#include "app/theme/Theme.h"
#include "app/ui/DownloadRowDelegate.h"
#include "app/ui/PlaylistPicker.h"
#include "app/ui/QueueFilter.h"
#include "app/ui/QueueView.h"
#include "model/MegaFolderLink.h"

#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QStackedWidget>
#include <QTextCursor>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QList<int> simultaneous{1, 2, 3, 5, 8, 12, 20, 50};
// Speed limits offered, in bytes a second; 0: none.
const QList<qint64> speedLimits{0,           256 * 1024,   512 * 1024,   1048576,     2 * 1048576,
                                5 * 1048576, 10 * 1048576, 20 * 1048576, 50 * 1048576};

QString speedLimitText(qint64 bytesPerSecond)
{
    if (bytesPerSecond <= 0)
        return QStringLiteral("No limit");
    if (bytesPerSecond < 1048576)
        return QStringLiteral("%1 KB/s").arg(bytesPerSecond / 1024);
    return QStringLiteral("%1 MB/s").arg(QString::number(static_cast<double>(bytesPerSecond) / 1048576, 'g', 3));
}

QLabel *iconLabel(const QString &icon, int size, const QColor &colour)
{
    auto *result = new QLabel;
    result->setPixmap(Theme::pixmap(icon, size, colour));
    result->setStyleSheet(QStringLiteral("background: transparent;"));
    return result;
}

// The × that puts a one-line bar away.
QToolButton *dismissButton(const QString &name)
{
    auto *button = new QToolButton;
    button->setIcon(Theme::icon(QStringLiteral("x"), 12, Theme::white(0.6)));
    button->setAutoRaise(true);
    button->setAccessibleName(name);
    button->setToolTip(QStringLiteral("Dismiss"));
    return button;
}

const std::array<const char *, 5> sectionIcons{"layout-grid", "circle-arrow-down", "circle-check", "circle-pause",
                                               "circle-alert"};

} // namespace

ContentView::ContentView(DownloadManager &manager, QWidget *parent) :
    QWidget(parent),
    m_manager(manager),
    m_filter(new QueueFilter(this))
{
    m_filter->setSourceModel(m_manager.model());
    Theme::applyPalette(this);
    setFont(Theme::font(12));
    setStyleSheet(Theme::controlsStyleSheet());
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(buildSidebar());
    row->addWidget(buildMainColumn(), 1);

    connect(&m_manager, &DownloadManager::countsChanged, this, &ContentView::updateCounts);
    connect(m_manager.model(), &QAbstractItemModel::rowsInserted, this, &ContentView::updateQueueState);
    connect(m_manager.model(), &QAbstractItemModel::rowsRemoved, this, &ContentView::updateQueueState);
    connect(m_manager.model(), &QAbstractItemModel::modelReset, this, &ContentView::updateQueueState);
    connect(m_filter, &QAbstractItemModel::rowsInserted, this, &ContentView::updateQueueState);
    connect(m_filter, &QAbstractItemModel::rowsRemoved, this, &ContentView::updateQueueState);
    connect(m_filter, &QAbstractItemModel::layoutChanged, this, &ContentView::updateQueueState);
    for (auto signal : {&DownloadManager::noticeChanged, &DownloadManager::folderChanged,
                        &DownloadManager::notificationsEnabledChanged, &DownloadManager::notificationStatusChanged,
                        &DownloadManager::concurrencyChanged, &DownloadManager::retriesAutomaticallyChanged,
                        &DownloadManager::speedLimitChanged, &DownloadManager::ytDlpUpdateChanged})
        connect(&m_manager, signal, this, &ContentView::updateFooter);
    connect(&m_manager, &DownloadManager::qualityChanged, this,
            [this] { m_quality->setCurrentText(m_manager.quality()); });
    connect(&m_manager, &DownloadManager::folderRequestChanged, this, &ContentView::presentFolderBrowser);
    connect(&m_manager, &DownloadManager::playlistRequestChanged, this, &ContentView::presentPlaylistPicker);
    applyDensity(false);
    updateCounts();
    updateMainButton();
    updateQueueState();
    updateFooter();
    setAcceptDrops(true);
    // Links copied elsewhere are offered when the user comes back to the
    // window, or at once where the user asked to have the clipboard watched.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            offerClipboardLinks();
    });
    connect(QApplication::clipboard(), &QClipboard::dataChanged, this, [this] {
        if (m_manager.watchesClipboard())
            offerClipboardLinks();
    });
    // The first thing a user does is paste a link.
    m_editor->setFocus();
}

QWidget *ContentView::buildSidebar()
{
    auto *sidebar = new QWidget;
    sidebar->setObjectName(QStringLiteral("sidebar"));
    sidebar->setFixedWidth(225);
    sidebar->setStyleSheet(
        QStringLiteral("#sidebar { background: %1; }").arg(Theme::white(0.025).name(QColor::HexArgb)));
    sidebar->setAttribute(Qt::WA_StyledBackground);
    auto *column = new QVBoxLayout(sidebar);
    column->setContentsMargins(20, 40, 20, 20);
    column->setSpacing(28);

    auto *brand = new QHBoxLayout;
    brand->setSpacing(10);
    auto *tile = new QLabel;
    tile->setFixedSize(43, 43);
    tile->setAlignment(Qt::AlignCenter);
    tile->setPixmap(Theme::pixmap(QStringLiteral("arrow-down-to-line"), 26, Theme::base));
    tile->setStyleSheet(Theme::roundedStyle(Theme::mint, 13));
    brand->addWidget(tile);
    auto *words = new QVBoxLayout;
    words->setSpacing(1);
    words->addWidget(Theme::label(QStringLiteral("lark"), 27, QFont::Bold));
    words->addWidget(Theme::label(QStringLiteral("DOWNLOADER"), 8, QFont::DemiBold, Theme::white(0.55), 2.5));
    brand->addLayout(words);
    brand->addStretch();
    column->addLayout(brand);

    auto *library = new QVBoxLayout;
    library->setSpacing(7);
    auto *caption = Theme::label(QStringLiteral("LIBRARY"), 10, QFont::Bold, Theme::white(0.55), 2);
    library->addWidget(caption);
    library->addSpacing(1);
    for (qsizetype i = 0; i < QueueFilter::sections.size(); ++i) {
        const QString title = QueueFilter::sections[i];
        auto *button = new QPushButton;
        button->setCursor(Qt::PointingHandCursor);
        button->setAccessibleName(title);
        auto *layout = new QHBoxLayout(button);
        layout->setContentsMargins(12, 10, 12, 10);
        layout->setSpacing(8);
        auto *icon = new QLabel;
        icon->setFixedWidth(18);
        icon->setObjectName(QStringLiteral("icon"));
        icon->setProperty("iconName", QString::fromLatin1(sectionIcons[static_cast<size_t>(i)]));
        layout->addWidget(icon);
        auto *name = new QLabel(title);
        name->setTextFormat(Qt::PlainText);
        name->setObjectName(QStringLiteral("name"));
        layout->addWidget(name);
        layout->addStretch();
        auto *counter = Theme::label(QStringLiteral("0"), 10, QFont::Medium, Theme::white(0.55));
        layout->addWidget(counter);
        button->setMinimumHeight(38);
        connect(button, &QPushButton::clicked, this, [this, title] { setSection(title); });
        library->addWidget(button);
        m_sectionButtons.append(button);
        m_sectionCounters.append(counter);
    }
    column->addLayout(library);

    auto *card = new QWidget;
    card->setObjectName(QStringLiteral("promo"));
    card->setAttribute(Qt::WA_StyledBackground);
    card->setStyleSheet(
        QStringLiteral("#promo { %1 }").arg(Theme::roundedStyle(Theme::withAlpha(Theme::mint, 0.06), 14)));
    auto *cardColumn = new QVBoxLayout(card);
    cardColumn->setContentsMargins(16, 16, 16, 16);
    cardColumn->setSpacing(12);
    cardColumn->addWidget(iconLabel(QStringLiteral("zap"), 18, Theme::mint));
    cardColumn->addWidget(Theme::label(QStringLiteral("One place.\nEvery download."), 17, QFont::DemiBold));
    cardColumn->addWidget(Theme::label(QStringLiteral("Paste your links.\nLet Lark take it from here."), 11,
                                       QFont::Normal, Theme::white(0.55)));
    column->addWidget(card);
    m_promo = card;
    column->addStretch();
    column->addWidget(
        Theme::label(QStringLiteral("LARK FOR LINUX  \u2022  1.2"), 9, QFont::Medium, Theme::white(0.3), 1.3));
    setSection(QueueFilter::sections.first());
    return sidebar;
}

namespace {

// The wrapping notice would make the scrolling column ask for the height it
// prefers at its width rather than the least it needs, and scroll too early.
class Column : public QWidget {
public:
    bool hasHeightForWidth() const override { return false; }
};

} // namespace

QWidget *ContentView::buildMainColumn()
{
    auto *main = new Column;
    auto *column = new QVBoxLayout(main);
    m_column = column;
    column->setContentsMargins(28, 42, 28, 28);
    column->setSpacing(22);

    m_header = new QWidget;
    auto *header = new QHBoxLayout(m_header);
    header->setContentsMargins(0, 0, 0, 0);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(7);
    titles->addWidget(Theme::label(QStringLiteral("Your links. Your library."), 29, QFont::DemiBold));
    titles->addWidget(Theme::label(QStringLiteral("Great videos deserve a place on your computer."), 13, QFont::Normal,
                                   Theme::white(0.55)));
    header->addLayout(titles);
    header->addStretch();
    auto *pill = Theme::label(QStringLiteral("\u25cf  READY TO DOWNLOAD"), 9, QFont::Bold, Theme::mint, 1);
    pill->setStyleSheet(pill->styleSheet() + Theme::roundedStyle(Theme::withAlpha(Theme::mint, 0.07), 12) +
                        QStringLiteral("padding: 6px 10px;"));
    header->addWidget(pill, 0, Qt::AlignTop);
    column->addWidget(m_header);
    // The header and the statistics in one line, for low windows.
    m_compactHeader = new QWidget;
    auto *line = new QHBoxLayout(m_compactHeader);
    line->setContentsMargins(0, 0, 0, 0);
    line->addWidget(Theme::label(QStringLiteral("Your links. Your library."), 16, QFont::DemiBold));
    line->addStretch();
    m_compactCounts = Theme::label(QString(), 11, QFont::Medium, Theme::white(0.55));
    line->addWidget(m_compactCounts);
    m_compactHeader->hide();
    column->addWidget(m_compactHeader);
    column->addWidget(buildComposer());
    // Links in the clipboard, offered in one line.
    m_offerBar = new QWidget;
    m_offerBar->setObjectName(QStringLiteral("clipboardOffer"));
    m_offerBar->setAttribute(Qt::WA_StyledBackground);
    m_offerBar->setStyleSheet(
        QStringLiteral("#clipboardOffer { %1 }").arg(Theme::roundedStyle(Theme::withAlpha(Theme::mint, 0.07), 8)));
    auto *offer = new QHBoxLayout(m_offerBar);
    offer->setContentsMargins(12, 4, 4, 4);
    offer->setSpacing(8);
    offer->addWidget(iconLabel(QStringLiteral("clipboard"), 13, Theme::mint));
    m_offerText = Theme::label(QString(), 11, QFont::Medium, Theme::mint);
    offer->addWidget(m_offerText, 1);
    auto *take = new QPushButton(QStringLiteral("Add"));
    take->setFont(Theme::font(11));
    connect(take, &QPushButton::clicked, this, &ContentView::acceptClipboardOffer);
    offer->addWidget(take);
    auto *decline = dismissButton(QStringLiteral("Dismiss clipboard links"));
    connect(decline, &QToolButton::clicked, this, [this] {
        m_offerBar->hide();
        updateDensity();
    });
    offer->addWidget(decline);
    m_offerBar->hide();
    column->addWidget(m_offerBar);
    m_statistics = buildStatistics();
    column->addWidget(m_statistics);
    column->addWidget(buildQueue(), 1);
    column->addWidget(buildFooter());
    // Where the window is too low for everything, the column scrolls instead
    // of squeezing its controls on top of each other; sideways it never scrolls.
    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("mainColumn"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(QStringLiteral("#mainColumn { background: transparent; }"));
    auto *holder = new QWidget;
    holder->setObjectName(QStringLiteral("mainColumnContent"));
    holder->setStyleSheet(QStringLiteral("#mainColumnContent { background: transparent; }"));
    auto *holding = new QVBoxLayout(holder);
    holding->setContentsMargins(0, 0, 0, 0);
    holding->addWidget(main);
    scroll->setWidget(holder);
    scroll->viewport()->setAutoFillBackground(false);
    return scroll;
}

QWidget *ContentView::buildComposer()
{
    auto *composer = new QWidget;
    m_composer = composer;
    composer->setObjectName(QStringLiteral("composer"));
    composer->setAttribute(Qt::WA_StyledBackground);
    showDropTarget(false);
    auto *column = new QVBoxLayout(composer);
    m_composerColumn = column;
    column->setContentsMargins(19, 19, 19, 19);
    column->setSpacing(15);

    m_composerTop = new QWidget;
    auto *top = new QHBoxLayout(m_composerTop);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(8);
    top->addWidget(iconLabel(QStringLiteral("link"), 15, Qt::white));
    top->addWidget(Theme::label(QStringLiteral("Add video links"), 14, QFont::DemiBold));
    top->addStretch();
    top->addWidget(Theme::label(QStringLiteral("ONE LINK OR A WHOLE LIST"), 9, QFont::Medium, Theme::white(0.55), 1.4));
    column->addWidget(m_composerTop);

    m_editor = new QPlainTextEdit;
    m_editor->setFixedHeight(62);
    m_editor->setFont(Theme::font(12));
    m_editor->setAccessibleName(QStringLiteral("Video URLs"));
    // Links hold no tabs; Tab moves on, so the keyboard can leave the field.
    m_editor->setTabChangesFocus(true);
    // Drops go to the window, which appends them on lines of their own.
    m_editor->setAcceptDrops(false);
    m_editor->setStyleSheet(QStringLiteral("QPlainTextEdit { %1 color: white; padding: 4px; }")
                                .arg(Theme::roundedStyle(Theme::base, 9, Theme::white(0.08))));
    m_placeholder = Theme::label(QStringLiteral("Paste video URLs or a MEGA folder link\u2026"), 12, QFont::Normal,
                                 Theme::white(0.3));
    m_placeholder->setParent(m_editor);
    m_placeholder->move(13, 10);
    m_placeholder->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(m_editor, &QPlainTextEdit::textChanged, this, &ContentView::updateMainButton);
    column->addWidget(m_editor);

    auto *actions = new QHBoxLayout;
    actions->setSpacing(12);
    auto *paste = new QPushButton(Theme::icon(QStringLiteral("clipboard"), 14, Qt::white), QStringLiteral("Paste"));
    connect(paste, &QPushButton::clicked, this, &ContentView::paste);
    actions->addWidget(paste);
    m_quality = new QComboBox;
    m_quality->addItems(qualityChoices);
    m_quality->setFixedWidth(158);
    m_quality->setAccessibleName(QStringLiteral("Quality"));
    m_quality->setCurrentText(m_manager.quality());
    connect(m_quality, &QComboBox::currentTextChanged, &m_manager, &DownloadManager::setQuality);
    actions->addWidget(m_quality);
    actions->addStretch();
    m_mainButton = new QPushButton;
    m_mainButton->setObjectName(QStringLiteral("mainButton"));
    m_mainButton->setFont(Theme::font(12, QFont::Bold));
    m_mainButton->setCursor(Qt::PointingHandCursor);
    m_mainButton->setStyleSheet(QStringLiteral("#mainButton { %1 color: %2; padding: 10px 15px; border: none; }"
                                               "#mainButton:disabled { background: %3; color: %4; }")
                                    .arg(Theme::roundedStyle(Theme::mint, 8), Theme::base.name(),
                                         Theme::withAlpha(Theme::mint, 0.4).name(QColor::HexArgb),
                                         Theme::withAlpha(Theme::base, 0.6).name(QColor::HexArgb)));
    connect(m_mainButton, &QPushButton::clicked, this, qOverload<>(&ContentView::addLinks));
    for (const auto &keys : {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
        auto *shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (m_mainButton->isEnabled())
                addLinks();
        });
    }
    actions->addWidget(m_mainButton);
    column->addLayout(actions);

    m_sites = new QWidget;
    auto *sites = new QHBoxLayout(m_sites);
    sites->setContentsMargins(0, 0, 0, 0);
    sites->setSpacing(13);
    for (const char *site : {"YouTube", "Instagram", "TikTok", "Facebook", "MEGA", "+ more"})
        sites->addWidget(Theme::label(QString::fromLatin1(site), 10, QFont::Medium, Theme::white(0.55)));
    sites->addStretch();
    column->addWidget(m_sites);
    return composer;
}

QWidget *ContentView::buildStatistics()
{
    auto *statistics = new QWidget;
    auto *row = new QHBoxLayout(statistics);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    const auto card = [&row](const char *icon, const char *title, const char *caption) {
        auto *widget = new QWidget;
        widget->setObjectName(QStringLiteral("stat"));
        widget->setAttribute(Qt::WA_StyledBackground);
        widget->setStyleSheet(QStringLiteral("#stat { %1 }").arg(Theme::roundedStyle(Theme::card, 11)));
        auto *layout = new QHBoxLayout(widget);
        layout->setContentsMargins(14, 14, 14, 14);
        layout->setSpacing(12);
        auto *tile = new QLabel;
        tile->setFixedSize(36, 36);
        tile->setAlignment(Qt::AlignCenter);
        tile->setPixmap(Theme::pixmap(QString::fromLatin1(icon), 17, Theme::mint));
        tile->setStyleSheet(Theme::roundedStyle(Theme::withAlpha(Theme::mint, 0.08), 10));
        layout->addWidget(tile);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        texts->addWidget(Theme::label(QString::fromLatin1(title), 8, QFont::Bold, Theme::white(0.55), 1.4));
        auto *valueRow = new QHBoxLayout;
        valueRow->setSpacing(7);
        QLabel *value = Theme::label(QStringLiteral("0"), 23, QFont::DemiBold);
        valueRow->addWidget(value, 0, Qt::AlignBaseline);
        valueRow->addWidget(Theme::label(QString::fromLatin1(caption), 10, QFont::Normal, Theme::white(0.55)), 0,
                            Qt::AlignBaseline);
        valueRow->addStretch();
        texts->addLayout(valueRow);
        layout->addLayout(texts, 1);
        row->addWidget(widget, 1);
        return value;
    };
    m_active = card("arrow-down", "ACTIVE", "downloading now");
    m_waiting = card("layers", "QUEUED", "ready to start");
    m_finished = card("circle-check", "COMPLETED", "saved to your computer");
    return statistics;
}

QWidget *ContentView::buildQueue()
{
    auto *queue = new QWidget;
    auto *column = new QVBoxLayout(queue);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(15);
    auto *header = new QHBoxLayout;
    header->setSpacing(10);
    m_queueTitle = Theme::label(QString(), 17, QFont::DemiBold);
    header->addWidget(m_queueTitle);
    m_queueCount = Theme::label(QStringLiteral("0"), 10, QFont::DemiBold);
    m_queueCount->setStyleSheet(m_queueCount->styleSheet() + Theme::roundedStyle(Theme::white(0.07), 8) +
                                QStringLiteral("padding: 3px 7px;"));
    header->addWidget(m_queueCount);
    header->addStretch();
    m_search = new QLineEdit;
    m_search->setAcceptDrops(false); // a dropped link is a download, not a search
    m_search->setPlaceholderText(QStringLiteral("Search"));
    m_search->setFixedWidth(120);
    m_search->setClearButtonEnabled(true);
    m_search->setStyleSheet(QStringLiteral("QLineEdit { %1 color: white; padding: 4px 8px; }")
                                .arg(Theme::roundedStyle(Theme::card, 8, Theme::white(0.08))));
    QPalette searchPalette = m_search->palette();
    searchPalette.setColor(QPalette::PlaceholderText, Theme::white(0.4));
    m_search->setPalette(searchPalette);
    connect(m_search, &QLineEdit::textChanged, this, [this](const QString &text) {
        m_filter->setSearch(text);
        updateQueueState();
    });
    header->addWidget(m_search);
    auto *menuButton = new QToolButton;
    menuButton->setIcon(Theme::icon(QStringLiteral("ellipsis"), 16, Theme::white(0.75)));
    menuButton->setFixedWidth(22);
    menuButton->setAutoRaise(true);
    menuButton->setPopupMode(QToolButton::InstantPopup);
    menuButton->setAccessibleName(QStringLiteral("More actions"));
    menuButton->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    auto *menu = new QMenu(menuButton);
    QMenu *browserMenu = menu->addMenu(QStringLiteral("Use signed-in browser"));
    auto *browserGroup = new QActionGroup(browserMenu);
    for (const QString &browser : browserChoices) {
        QAction *choice = browserMenu->addAction(browser);
        choice->setCheckable(true);
        choice->setChecked(browser == m_manager.browser());
        browserGroup->addAction(choice);
        connect(choice, &QAction::triggered, &m_manager, [this, browser] { m_manager.setBrowser(browser); });
    }
    browserMenu->addSeparator();
    QAction *cookiesFile = browserMenu->addAction(QStringLiteral("Cookies file\u2026"));
    cookiesFile->setCheckable(true);
    browserGroup->addAction(cookiesFile);
    connect(cookiesFile, &QAction::triggered, this, [this] {
        const QString path =
            QFileDialog::getOpenFileName(this, QStringLiteral("Choose a cookies.txt file"), QDir::homePath(),
                                         QStringLiteral("Cookies (*.txt);;All files (*)"));
        if (!path.isEmpty())
            m_manager.setCookiesFile(path);
        syncBrowserMenu();
    });
    m_syncBrowserMenu = [this, browserMenu, cookiesFile] {
        const QString file = m_manager.cookiesFile();
        cookiesFile->setChecked(!file.isEmpty());
        cookiesFile->setText(file.isEmpty() ? QStringLiteral("Cookies file\u2026")
                                            : QStringLiteral("Cookies file: %1").arg(QFileInfo(file).fileName()));
        for (QAction *choice : browserMenu->actions()) {
            if (choice != cookiesFile && choice->isCheckable())
                choice->setChecked(file.isEmpty() && choice->text() == m_manager.browser());
        }
    };
    connect(&m_manager, &DownloadManager::cookiesFileChanged, this, [this] { syncBrowserMenu(); });
    connect(&m_manager, &DownloadManager::browserChanged, this, [this] { syncBrowserMenu(); });
    syncBrowserMenu();
    // One limit for all downloads together; a download takes its share as it starts.
    QMenu *limitMenu = menu->addMenu(QString());
    limitMenu->setToolTipsVisible(true);
    auto *limitGroup = new QActionGroup(limitMenu);
    QList<qint64> limits = speedLimits;
    if (!limits.contains(m_manager.speedLimit()))
        limits.append(m_manager.speedLimit()); // a stored limit that is not one of the choices
    for (const qint64 limit : std::as_const(limits)) {
        QAction *choice = limitMenu->addAction(speedLimitText(limit));
        choice->setCheckable(true);
        choice->setData(limit);
        limitGroup->addAction(choice);
        connect(choice, &QAction::triggered, &m_manager, [this, limit] { m_manager.setSpeedLimit(limit); });
    }
    auto showLimit = [this, limitMenu] {
        limitMenu->setTitle(QStringLiteral("Speed limit: %1").arg(speedLimitText(m_manager.speedLimit())));
        for (QAction *choice : limitMenu->actions())
            choice->setChecked(choice->data().toLongLong() == m_manager.speedLimit());
    };
    showLimit();
    connect(&m_manager, &DownloadManager::speedLimitChanged, limitMenu, showLimit);
    QMenu *subtitles = menu->addMenu(QStringLiteral("Subtitles"));
    QAction *wantSubtitles = subtitles->addAction(QStringLiteral("Download subtitles"));
    wantSubtitles->setCheckable(true);
    wantSubtitles->setChecked(m_manager.subtitlesWanted());
    connect(wantSubtitles, &QAction::toggled, &m_manager, &DownloadManager::setSubtitlesWanted);
    QAction *automatic = subtitles->addAction(QStringLiteral("Include subtitles made automatically"));
    automatic->setCheckable(true);
    automatic->setChecked(m_manager.automaticSubtitles());
    connect(automatic, &QAction::toggled, &m_manager, &DownloadManager::setAutomaticSubtitles);
    QAction *languages = subtitles->addAction(QString());
    auto showLanguages = [this, languages] {
        languages->setText(
            QStringLiteral("Languages: %1\u2026").arg(m_manager.subtitleLanguages().join(QStringLiteral(", "))));
    };
    showLanguages();
    connect(&m_manager, &DownloadManager::subtitlesChanged, languages, showLanguages);
    connect(languages, &QAction::triggered, this, [this] {
        bool ok = false;
        const QString text =
            QInputDialog::getText(this, QStringLiteral("Subtitle languages"),
                                  QStringLiteral("Language codes in the order you want them, such as de, en or pt-BR:"),
                                  QLineEdit::Normal, m_manager.subtitleLanguages().join(QStringLiteral(", ")), &ok);
        if (ok)
            m_manager.setSubtitleLanguages(text);
    });
    QAction *watch = menu->addAction(QStringLiteral("Offer links as soon as they are copied"));
    watch->setCheckable(true);
    watch->setChecked(m_manager.watchesClipboard());
    connect(watch, &QAction::toggled, &m_manager, &DownloadManager::setWatchesClipboard);
    QAction *megaFolders = menu->addAction(QStringLiteral("Keep the folders of MEGA files"));
    megaFolders->setCheckable(true);
    megaFolders->setChecked(m_manager.keepsMegaFolders());
    connect(megaFolders, &QAction::toggled, &m_manager, &DownloadManager::setKeepsMegaFolders);
    QAction *continueOnStart = menu->addAction(QStringLiteral("Continue unfinished downloads when Lark starts"));
    continueOnStart->setCheckable(true);
    continueOnStart->setChecked(m_manager.continuesOnStart());
    connect(continueOnStart, &QAction::toggled, &m_manager, &DownloadManager::setContinuesOnStart);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Pause all"), &m_manager, &DownloadManager::pauseAll);
    menu->addAction(QStringLiteral("Resume all"), &m_manager, &DownloadManager::resumeAll);
    menu->addAction(QStringLiteral("Retry failed"), &m_manager, &DownloadManager::retryFailed);
    menu->addAction(QStringLiteral("Clear completed"), &m_manager, &DownloadManager::clearCompleted);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Clear all\u2026"), this, &ContentView::confirmClearAll);
    menuButton->setMenu(menu);
    header->addWidget(menuButton);
    column->addLayout(header);

    m_queueBody = new QStackedWidget;
    auto *empty = new QWidget;
    empty->setObjectName(QStringLiteral("emptyQueue"));
    empty->setAttribute(Qt::WA_StyledBackground);
    empty->setStyleSheet(
        QStringLiteral("#emptyQueue { %1 }").arg(Theme::roundedStyle(Theme::withAlpha(Theme::card, 0.45), 12)));
    auto *emptyColumn = new QVBoxLayout(empty);
    emptyColumn->setSpacing(13);
    emptyColumn->addStretch();
    m_emptyIcon = new QLabel;
    m_emptyIcon->setStyleSheet(QStringLiteral("background: transparent;"));
    emptyColumn->addWidget(m_emptyIcon, 0, Qt::AlignHCenter);
    m_emptyTitle = Theme::label(QString(), 14, QFont::Medium);
    emptyColumn->addWidget(m_emptyTitle, 0, Qt::AlignHCenter);
    m_emptyLine = Theme::label(QString(), 12, QFont::Normal, Theme::white(0.55));
    emptyColumn->addWidget(m_emptyLine, 0, Qt::AlignHCenter);
    emptyColumn->addStretch();
    m_queueBody->addWidget(empty);

    m_list = new QueueView(m_manager);
    m_list->setObjectName(QStringLiteral("queue"));
    m_list->setModel(m_filter);
    m_list->setUniformItemSizes(true);
    m_list->setMouseTracking(true);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_list->setAccessibleName(QStringLiteral("Downloads"));
    m_list->setStyleSheet(QStringLiteral("QListView { background: transparent; } QListView::item:selected { "
                                         "background: transparent; }"));
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_queueBody->addWidget(m_list);
    column->addWidget(m_queueBody, 1);
    return queue;
}

QWidget *ContentView::buildFooter()
{
    auto *footer = new QWidget;
    auto *column = new QVBoxLayout(footer);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    // A notice has the colour of its tone and can be put away.
    m_noticeBar = new QWidget;
    m_noticeBar->setObjectName(QStringLiteral("notice"));
    m_noticeBar->setAttribute(Qt::WA_StyledBackground);
    auto *noticeRow = new QHBoxLayout(m_noticeBar);
    noticeRow->setContentsMargins(10, 5, 4, 5);
    noticeRow->setSpacing(8);
    m_noticeIcon = new QLabel;
    m_noticeIcon->setStyleSheet(QStringLiteral("background: transparent;"));
    noticeRow->addWidget(m_noticeIcon, 0, Qt::AlignTop);
    m_notice = Theme::label(QString(), 11, QFont::Normal, Theme::mint);
    m_notice->setWordWrap(true);
    m_notice->setMaximumHeight(m_notice->fontMetrics().lineSpacing() * 2 + 2);
    noticeRow->addWidget(m_notice, 1);
    m_updateYtDlp = new QPushButton(QStringLiteral("Update now"));
    m_updateYtDlp->setFont(Theme::font(11, QFont::DemiBold));
    m_updateYtDlp->setToolTip(QStringLiteral("Install a current yt-dlp for Lark alone, kept up to date by itself"));
    connect(m_updateYtDlp, &QPushButton::clicked, &m_manager, [this] { m_manager.updateYtDlp(); });
    noticeRow->addWidget(m_updateYtDlp, 0, Qt::AlignTop);
    auto *dismiss = dismissButton(QStringLiteral("Dismiss notice"));
    connect(dismiss, &QToolButton::clicked, &m_manager, &DownloadManager::dismissNotice);
    noticeRow->addWidget(dismiss, 0, Qt::AlignTop);
    column->addWidget(m_noticeBar);
    auto *row = new QHBoxLayout;
    row->setSpacing(10);
    row->addWidget(iconLabel(QStringLiteral("folder"), 13, Theme::white(0.55)));
    m_saveTo = Theme::label(QString(), 11, QFont::Normal, Theme::white(0.75));
    m_saveTo->setMaximumWidth(360);
    row->addWidget(m_saveTo);
    auto *change = new QPushButton(QStringLiteral("Change folder\u2026"));
    change->setFont(Theme::font(11));
    connect(change, &QPushButton::clicked, &m_manager, &DownloadManager::chooseFolder);
    row->addWidget(change);
    m_notify = new QCheckBox(QStringLiteral("Notify when done"));
    m_notify->setFont(Theme::font(11));
    connect(m_notify, &QCheckBox::clicked, &m_manager, &DownloadManager::setNotificationsEnabled);
    row->addWidget(m_notify);
    m_autoRetry = new QCheckBox(QStringLiteral("Auto-retry"));
    m_autoRetry->setFont(Theme::font(11));
    m_autoRetry->setToolTip(QStringLiteral("Try again by itself after a dropped connection or a busy server, and "
                                           "go on when MEGA's transfer quota resets"));
    connect(m_autoRetry, &QCheckBox::clicked, &m_manager, &DownloadManager::setRetriesAutomatically);
    row->addWidget(m_autoRetry);
    row->addWidget(Theme::label(QStringLiteral("Simultaneous"), 11, QFont::Normal, Theme::white(0.55)));
    m_concurrency = new QComboBox;
    m_concurrency->setFixedWidth(65);
    m_concurrency->setAccessibleName(QStringLiteral("Simultaneous downloads"));
    for (int count : simultaneous)
        m_concurrency->addItem(QString::number(count), count);
    connect(m_concurrency, &QComboBox::activated, this,
            [this](int index) { m_manager.setConcurrency(m_concurrency->itemData(index).toInt()); });
    row->addWidget(m_concurrency);
    row->addStretch();
    column->addLayout(row);
    return footer;
}

QString ContentView::section() const
{
    return m_filter->section();
}

void ContentView::setSection(const QString &section)
{
    m_filter->setSection(section);
    for (qsizetype i = 0; i < m_sectionButtons.size(); ++i) {
        QPushButton *button = m_sectionButtons[i];
        const bool selected = QueueFilter::sections[i] == section;
        const QColor colour = selected ? Theme::mint : Theme::white(0.6);
        button->setStyleSheet(
            QStringLiteral("QPushButton { %1 text-align: left; }")
                .arg(Theme::roundedStyle(selected ? Theme::withAlpha(Theme::mint, 0.1) : Qt::transparent, 9)));
        auto *icon = button->findChild<QLabel *>(QStringLiteral("icon"));
        icon->setPixmap(Theme::pixmap(icon->property("iconName").toString(), 15, colour));
        auto *name = button->findChild<QLabel *>(QStringLiteral("name"));
        name->setFont(Theme::font(12, selected ? QFont::DemiBold : QFont::Normal));
        name->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(colour.name(QColor::HexArgb)));
    }
    if (m_queueTitle)
        updateQueueState();
    Q_EMIT sectionChanged();
}

QString ContentView::links() const
{
    return m_editor->toPlainText();
}

void ContentView::setLinks(const QString &links)
{
    m_editor->setPlainText(links);
}

void ContentView::paste()
{
    appendLinks(QApplication::clipboard()->text());
}

void ContentView::appendLinks(const QString &added)
{
    if (added.isEmpty())
        return;
    const QString current = links();
    if (current.isEmpty())
        setLinks(added);
    else
        setLinks(current + (current.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n")) + added);
    m_editor->moveCursor(QTextCursor::End);
}

namespace {

// What a drop brings as links: a browser's address bar or page link gives a
// URI list, selected text gives text. Local files are not links.
QString droppedLinks(const QMimeData *mime)
{
    QStringList links;
    if (mime->hasUrls()) {
        for (const QUrl &url : mime->urls()) {
            if (url.isValid() && !url.isLocalFile())
                links.append(url.toString());
        }
        return links.join(QLatin1Char('\n'));
    }
    return mime->hasText() ? mime->text().trimmed() : QString();
}

} // namespace

void ContentView::showDropTarget(bool shown)
{
    m_composer->setStyleSheet(QStringLiteral("#composer { %1 }")
                                  .arg(Theme::roundedStyle(Theme::card, 14, shown ? Theme::mint : Theme::white(0.06))));
    m_dropHint = shown;
}

void ContentView::dragEnterEvent(QDragEnterEvent *event)
{
    if (droppedLinks(event->mimeData()).isEmpty())
        return event->ignore();
    event->acceptProposedAction();
    showDropTarget(true);
}

void ContentView::dragMoveEvent(QDragMoveEvent *event)
{
    event->acceptProposedAction();
}

void ContentView::dragLeaveEvent(QDragLeaveEvent *)
{
    showDropTarget(false);
}

void ContentView::dropEvent(QDropEvent *event)
{
    showDropTarget(false);
    const QString dropped = droppedLinks(event->mimeData());
    if (dropped.isEmpty())
        return event->ignore();
    event->acceptProposedAction();
    appendLinks(dropped);
    window()->activateWindow();
    m_editor->setFocus(Qt::OtherFocusReason);
}

void ContentView::offerClipboardLinks()
{
    // A clipboard can hold a whole book: the links are looked for at its start.
    const QString text = QApplication::clipboard()->text().left(1 << 16);
    // Each clipboard is offered once: declined, it does not come back.
    if (text == m_lastOfferedClipboard)
        return;
    m_lastOfferedClipboard = text;
    const QStringList inField = acceptedURLs(links()).urls;
    m_offeredLinks.clear();
    for (const QString &link : m_manager.notInQueue(text)) {
        if (!inField.contains(link))
            m_offeredLinks.append(link);
    }
    m_offerText->setText(m_offeredLinks.size() == 1
                             ? QStringLiteral("1 link in the clipboard")
                             : QStringLiteral("%1 links in the clipboard").arg(m_offeredLinks.size()));
    m_offerText->setToolTip(Theme::plainToolTip(m_offeredLinks.join(QLatin1Char('\n'))));
    m_offerBar->setVisible(!m_offeredLinks.isEmpty());
    updateDensity();
}

QString ContentView::clipboardOffer() const
{
    return m_offerBar->isVisibleTo(this) ? m_offerText->text() : QString();
}

void ContentView::acceptClipboardOffer()
{
    m_offerBar->hide();
    updateDensity();
    addLinks(m_offeredLinks.join(QLatin1Char('\n')));
}

bool ContentView::addLinks(const QString &links)
{
    // A link already downloaded is fetched again only when the user says so.
    bool skipCompleted = false;
    if (const QStringList done = m_manager.alreadyCompleted(links); !done.isEmpty()) {
        const QString question = done.size() == 1
                                     ? QStringLiteral("This link is already downloaded.")
                                     : QStringLiteral("%1 of these links are already downloaded.").arg(done.size());
        QMessageBox alert(QMessageBox::Question, QStringLiteral("Download again?"), question, QMessageBox::NoButton,
                          this);
        Theme::applyAlertStyle(&alert);
        alert.setTextFormat(Qt::PlainText);
        alert.setInformativeText(done.size() == 1 ? done.first() + QStringLiteral("\n\nDownload it again?")
                                                  : QStringLiteral("Download them again?"));
        QPushButton *cancel = alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
        QPushButton *skip = nullptr;
        if (acceptedURLs(links).urls.size() > done.size())
            skip = alert.addButton(QStringLiteral("Add the others"), QMessageBox::NoRole);
        QPushButton *again = alert.addButton(QStringLiteral("Download again"), QMessageBox::AcceptRole);
        alert.setDefaultButton(skip ? skip : cancel);
        alert.exec();
        if (alert.clickedButton() == static_cast<QAbstractButton *>(cancel) || !alert.clickedButton())
            return false;
        skipCompleted = alert.clickedButton() != static_cast<QAbstractButton *>(again);
    }
    if (!m_manager.add(links, skipCompleted))
        return false;
    setSection(QueueFilter::sections.first());
    m_search->clear();
    // What was just added is at the top, whatever row was in view.
    m_list->scrollToTop();
    return true;
}

void ContentView::addLinks()
{
    if (addLinks(links()))
        setLinks(QString());
    // The disabled button would hand the focus on to the search field, where
    // the next paste would filter the queue instead of adding to it.
    m_editor->setFocus(Qt::OtherFocusReason);
}

bool ContentView::confirmClearAll()
{
    QMessageBox alert(QMessageBox::Warning, QStringLiteral("Clear all downloads?"),
                      QStringLiteral("Clear all downloads?"), QMessageBox::NoButton, this);
    Theme::applyAlertStyle(&alert);
    alert.setIconPixmap(Theme::pixmap(QStringLiteral("triangle-alert"), 36, Theme::orange));
    alert.setText(QStringLiteral("<b>Clear all downloads?</b>"));
    alert.setInformativeText(QStringLiteral(
        "Active downloads will stop and history will be removed. Saved videos stay on disk; the partial files of "
        "unfinished downloads are deleted."));
    alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    QPushButton *clear = alert.addButton(QStringLiteral("Clear queue"), QMessageBox::DestructiveRole);
    alert.exec();
    if (alert.clickedButton() != clear)
        return false;
    m_manager.clearAll();
    return true;
}

void ContentView::updateCounts()
{
    const int counts[] = {m_manager.count(), m_manager.active() + m_manager.waiting(), m_manager.finished(),
                          m_manager.count(DownloadState::paused), m_manager.count(DownloadState::failed)};
    for (qsizetype i = 0; i < m_sectionCounters.size(); ++i)
        m_sectionCounters[i]->setText(QString::number(counts[i]));
    m_active->setText(QString::number(m_manager.active()));
    m_waiting->setText(QString::number(m_manager.waiting()));
    m_finished->setText(QString::number(m_manager.finished()));
    m_compactCounts->setText(QStringLiteral("%1 active  \u00b7  %2 queued  \u00b7  %3 completed")
                                 .arg(m_manager.active())
                                 .arg(m_manager.waiting())
                                 .arg(m_manager.finished()));
    updateQueueState();
}

void ContentView::updateMainButton()
{
    const QString text = links();
    m_placeholder->setVisible(text.isEmpty());
    const QStringList urls = acceptedURLs(text).urls;
    const bool folder = std::any_of(urls.begin(), urls.end(), &MegaFolderLink::recognizes);
    m_mainButton->setText(folder ? QStringLiteral("Fetch folder") : QStringLiteral("Download"));
    m_mainButton->setIcon(
        Theme::icon(folder ? QStringLiteral("folder-search") : QStringLiteral("arrow-down"), 14, Theme::base));
    m_mainButton->setEnabled(!text.trimmed().isEmpty());
    m_mainButton->setToolTip(QStringLiteral("%1 (%2)").arg(
        m_mainButton->text(), QKeySequence(Qt::CTRL | Qt::Key_Return).toString(QKeySequence::NativeText)));
}

void ContentView::updateQueueState()
{
    const int shown = m_filter->rowCount();
    m_queueTitle->setText(section());
    m_queueCount->setText(QString::number(shown));
    const bool searching = !m_search->text().isEmpty();
    m_emptyIcon->setPixmap(Theme::pixmap(searching ? QStringLiteral("search") : QStringLiteral("inbox"), 35,
                                         Theme::withAlpha(Theme::mint, 0.6)));
    m_emptyTitle->setText(searching ? QStringLiteral("No matching downloads")
                                    : QStringLiteral("A little less streaming. A little more keeping."));
    m_emptyLine->setText(searching ? QStringLiteral("Try another title or platform.")
                                   : QStringLiteral("Add a link above to start building your library."));
    m_queueBody->setCurrentIndex(shown == 0 ? 0 : 1);
}

namespace {

// The full design is kept while it shows this many whole rows; below that the
// window folds into the compact one, which must still show this many.
constexpr int roomyRows = 3;
constexpr int compactRows = 3;

} // namespace

void ContentView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateDensity();
}

void ContentView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Styles give the controls their sizes only now: measure again.
    m_compactSaving = -1;
    updateDensity();
}

void ContentView::applyDensity(bool compact)
{
    m_compact = compact;
    m_list->rowDelegate().setCompact(compact);
    m_queueBody->setMinimumHeight((compact ? compactRows : roomyRows) * m_list->rowDelegate().rowHeight());
    m_column->setContentsMargins(28, compact ? 16 : 42, 28, compact ? 16 : 28);
    m_column->setSpacing(compact ? 12 : 22);
    m_composerColumn->setContentsMargins(compact ? 14 : 19, compact ? 12 : 19, compact ? 14 : 19, compact ? 12 : 19);
    m_composerColumn->setSpacing(compact ? 8 : 15);
    m_editor->setFixedHeight(compact ? 44 : 62);
    m_header->setVisible(!compact);
    m_statistics->setVisible(!compact);
    m_composerTop->setVisible(!compact);
    m_sites->setVisible(!compact);
    m_compactHeader->setVisible(compact);
    m_promo->setVisible(!compact);
    // Sizes are cached on the way up; the measure must see the new ones at once.
    m_composerColumn->invalidate();
    m_composer->updateGeometry();
    m_column->invalidate();
}

void ContentView::updateDensity()
{
    // The design as drawn while the window is tall enough for it; the compact
    // one only where it is not.
    if (m_compactSaving < 0) {
        // What folding saves.
        applyDensity(true);
        const int compact = m_column->minimumSize().height();
        applyDensity(false);
        m_compactSaving = m_column->minimumSize().height() - compact;
    }
    const int roomyHeight = m_column->minimumSize().height() + (m_compact ? m_compactSaving : 0);
    const bool low = height() < roomyHeight;
    if (low != m_compact)
        applyDensity(low);
}

void ContentView::updateFooter()
{
    const auto tone = m_manager.noticeTone();
    const QColor colour = tone == DownloadManager::NoticeTone::failure ? Theme::orange
                          : tone == DownloadManager::NoticeTone::warning
                              ? DownloadRowDelegate::stateColour(DownloadState::paused)
                              : Theme::mint;
    m_notice->setText(m_manager.notice());
    m_notice->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(colour.name()));
    m_noticeIcon->setPixmap(Theme::pixmap(
        tone == DownloadManager::NoticeTone::information ? QStringLiteral("info") : QStringLiteral("triangle-alert"),
        13, colour));
    m_noticeBar->setStyleSheet(
        QStringLiteral("#notice { %1 }").arg(Theme::roundedStyle(Theme::withAlpha(colour, 0.07), 8)));
    m_noticeBar->setVisible(!m_manager.notice().isEmpty());
    updateDensity();
    const QString folder = m_manager.folder();
    m_saveTo->setToolTip(Theme::plainToolTip(folder));
    m_saveTo->setText(m_saveTo->fontMetrics().elidedText(QStringLiteral("Save to: ") + folder, Qt::ElideMiddle,
                                                         m_saveTo->maximumWidth()));
    m_notify->setChecked(m_manager.notificationsEnabled());
    m_notify->setToolTip(m_manager.notificationStatus());
    m_autoRetry->setChecked(m_manager.retriesAutomatically());
    int index = m_concurrency->findData(m_manager.concurrency());
    if (index < 0) {
        // A stored number that is not one of the choices is shown as it is, in its place among them.
        index = 0;
        while (index < m_concurrency->count() && m_concurrency->itemData(index).toInt() < m_manager.concurrency())
            ++index;
        m_concurrency->insertItem(index, QString::number(m_manager.concurrency()), m_manager.concurrency());
    }
    m_concurrency->setCurrentIndex(index);
    m_updateYtDlp->setVisible(m_manager.offersYtDlpUpdate());
}

void ContentView::presentPlaylistPicker()
{
    const PlaylistListing *listing = m_manager.playlistRequest();
    if (!listing || m_playlistPicker)
        return;
    m_playlistPicker = new PlaylistPicker(m_manager, *listing, window());
    m_playlistPicker->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_playlistPicker, &QDialog::finished, this, [this](int result) {
        m_playlistPicker = nullptr;
        // Picking has taken the listing already; a dismissal puts it away. The next one, if any, follows.
        if (result != QDialog::Accepted)
            m_manager.dismissPlaylist();
        QMetaObject::invokeMethod(this, &ContentView::presentPlaylistPicker, Qt::QueuedConnection);
    });
    m_playlistPicker->open();
}

void ContentView::presentFolderBrowser()
{
    const auto &request = m_manager.folderRequest();
    if (!request || m_browser)
        return;
    m_browser = new MegaFolderBrowser(m_manager, *request, m_manager.toolDirectory(), window());
    m_browser->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_browser, &QDialog::finished, this, [this] {
        m_browser = nullptr;
        m_manager.clearFolderRequest();
        m_manager.folderBrowserDismissed();
        if (!m_browser) {
            window()->activateWindow();
            m_editor->setFocus(Qt::OtherFocusReason);
        }
    });
    m_browser->open();
}
