#include "app/browser/MegaFolderBrowser.h"

#include "app/browser/MegaFolderBrowserModel.h"
#include "app/browser/MegaFolderEntries.h"
#include "app/manager/DownloadManager.h"
#include "app/theme/Theme.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QToolButton *iconButton(const QString &icon, const QString &tooltip, int size = 16)
{
    auto *button = new QToolButton;
    button->setIcon(Theme::icon(icon, size, Theme::white(0.75)));
    button->setIconSize(QSize(size, size));
    button->setToolTip(tooltip);
    button->setAccessibleName(tooltip);
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QString plural(qsizetype count, const char *noun)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(noun), QLatin1String(count == 1 ? "" : "s"));
}

} // namespace

MegaFolderBrowser::MegaFolderBrowser(DownloadManager &manager, const MegaFolderRequest &request,
                                     const QString &toolDirectory, QWidget *parent) :
    QDialog(parent),
    m_manager(manager),
    m_model(new MegaFolderBrowserModel(request.url, toolDirectory + QStringLiteral("/lark-mega"), this)),
    m_entries(new MegaFolderEntries(*m_model, this))
{
    setWindowTitle(QStringLiteral("Choose from MEGA"));
    setModal(true);
    setFixedSize(820, 640);
    // Standard controls in the dark style; the download button has its own.
    Theme::applyPanelStyle(this);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(26, 26, 26, 26);
    column->setSpacing(18);
    column->addWidget(buildHeader());
    m_body = new QStackedWidget;
    m_body->addWidget(m_loadingPage = buildLoadingPage());
    m_body->addWidget(m_errorPage = buildErrorPage());
    m_body->addWidget(m_browserPage = buildBrowserPage());
    column->addWidget(m_body, 1);

    connect(m_model, &MegaFolderBrowserModel::isLoadingChanged, this, &MegaFolderBrowser::updateBody);
    connect(m_model, &MegaFolderBrowserModel::errorChanged, this, &MegaFolderBrowser::updateBody);
    connect(m_model, &MegaFolderBrowserModel::treeChanged, this, &MegaFolderBrowser::updateBody);
    connect(m_model, &MegaFolderBrowserModel::currentFolderChanged, this, &MegaFolderBrowser::updateNavigation);
    connect(m_model, &MegaFolderBrowserModel::treeChanged, this, &MegaFolderBrowser::updateNavigation);
    for (auto signal : {&MegaFolderBrowserModel::visibleFilesChanged, &MegaFolderBrowserModel::searchChanged,
                        &MegaFolderBrowserModel::videosOnlyChanged, &MegaFolderBrowserModel::recursiveChanged,
                        &MegaFolderBrowserModel::selectedOnlyChanged, &MegaFolderBrowserModel::selectedChanged})
        connect(m_model, signal, this, &MegaFolderBrowser::updateFilters);
    connect(m_model, &MegaFolderBrowserModel::selectedChanged, this, &MegaFolderBrowser::updateSelection);
    connect(m_model, &MegaFolderBrowserModel::treeChanged, this, &MegaFolderBrowser::updateSelection);
    connect(&m_manager, &DownloadManager::folderChanged, this, &MegaFolderBrowser::updateFolder);
    updateBody();
    updateNavigation();
    updateFilters();
    updateSelection();
    updateFolder();
}

MegaFolderBrowser::~MegaFolderBrowser() = default;

bool MegaFolderBrowser::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QModelIndex current = m_list->currentIndex();
        if (current.isValid() && key->modifiers() == Qt::NoModifier) {
            const MegaFolderNode &node = m_entries->nodeAt(current.row());
            if (key->key() == Qt::Key_Space && !node.isFolder) {
                m_model->toggle(node.id);
                return true;
            }
            if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && node.isFolder) {
                m_model->navigate(node.id);
                m_list->setCurrentIndex(m_entries->index(0));
                return true;
            }
        }
    } else if (watched == m_list && event->type() == QEvent::FocusIn &&
               static_cast<QFocusEvent *>(event)->reason() != Qt::MouseFocusReason &&
               !m_list->currentIndex().isValid() && m_entries->rowCount() > 0) {
        // Arriving by Tab, the keys act on the first row in view. A click picks
        // its own row: moving the list here would put another under the pointer.
        const QModelIndex inView = m_list->indexAt(QPoint(m_list->viewport()->width() / 2, 8));
        const bool scrolls = m_list->hasAutoScroll();
        m_list->setAutoScroll(false);
        m_list->selectionModel()->setCurrentIndex(inView.isValid() ? inView : m_entries->index(0),
                                                  QItemSelectionModel::NoUpdate);
        m_list->setAutoScroll(scrolls);
    }
    return QDialog::eventFilter(watched, event);
}

void MegaFolderBrowser::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!m_loaded) {
        m_loaded = true;
        m_model->load();
    }
}

void MegaFolderBrowser::done(int result)
{
    // Only closing the panel stops its fetch: a hide by the window system
    // (minimising, unmapping) leaves it running.
    m_model->cancel();
    QDialog::done(result);
}

QWidget *MegaFolderBrowser::buildHeader()
{
    auto *header = new QWidget;
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(13);
    auto *tile = new QLabel;
    tile->setFixedSize(48, 48);
    tile->setAlignment(Qt::AlignCenter);
    tile->setPixmap(Theme::pixmap(QStringLiteral("folder-plus"), 25, Theme::mint));
    tile->setStyleSheet(Theme::roundedStyle(Theme::withAlpha(Theme::mint, 0.09), 12));
    row->addWidget(tile);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(5);
    titles->addWidget(Theme::label(QStringLiteral("Choose from MEGA"), 23, QFont::DemiBold));
    titles->addWidget(Theme::label(QStringLiteral("Browse the folder. Download only what you select."), 12,
                                   QFont::Normal, Theme::white(0.55)));
    row->addLayout(titles);
    row->addStretch();
    QToolButton *close = iconButton(QStringLiteral("x"), QStringLiteral("Close folder browser"));
    connect(close, &QToolButton::clicked, this, &QDialog::reject);
    row->addWidget(close, 0, Qt::AlignTop);
    return header;
}

QWidget *MegaFolderBrowser::buildLoadingPage()
{
    auto *page = new QWidget;
    auto *column = new QVBoxLayout(page);
    column->setSpacing(16);
    column->addStretch();
    auto *spinner = new QProgressBar;
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedSize(220, 6);
    spinner->setStyleSheet(QStringLiteral("QProgressBar { %1 border: none; } QProgressBar::chunk { %2 }")
                               .arg(Theme::roundedStyle(Theme::card, 3), Theme::roundedStyle(Theme::mint, 3)));
    column->addWidget(spinner, 0, Qt::AlignHCenter);
    m_loadingTitle = Theme::label(QStringLiteral("Fetching folder contents\u2026"), 15, QFont::DemiBold);
    column->addWidget(m_loadingTitle, 0, Qt::AlignHCenter);
    // Once the listing arrives, how much of it has been read.
    m_readingTick = new QTimer(page);
    m_readingTick->setInterval(250);
    connect(m_readingTick, &QTimer::timeout, this, &MegaFolderBrowser::updateReading);
    column->addWidget(
        Theme::label(QStringLiteral("Large shares can take a moment. No video files are being downloaded."), 12,
                     QFont::Normal, Theme::white(0.55)),
        0, Qt::AlignHCenter);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    column->addWidget(cancel, 0, Qt::AlignHCenter);
    column->addStretch();
    return page;
}

QWidget *MegaFolderBrowser::buildErrorPage()
{
    auto *page = new QWidget;
    auto *column = new QVBoxLayout(page);
    column->setSpacing(15);
    column->addStretch();
    auto *icon = new QLabel;
    icon->setPixmap(Theme::pixmap(QStringLiteral("triangle-alert"), 30, Theme::orange));
    column->addWidget(icon, 0, Qt::AlignHCenter);
    column->addWidget(Theme::label(QStringLiteral("Couldn't open this folder"), 15, QFont::DemiBold), 0,
                      Qt::AlignHCenter);
    m_errorText = Theme::label(QString(), 13, QFont::Normal, Theme::white(0.6));
    m_errorText->setAlignment(Qt::AlignCenter);
    m_errorText->setWordWrap(true);
    m_errorText->setFixedWidth(530);
    m_errorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(m_errorText, 0, Qt::AlignHCenter);
    auto *retry = new QPushButton(QStringLiteral("Try again"));
    retry->setDefault(true);
    retry->setFont(Theme::font(12, QFont::DemiBold));
    retry->setStyleSheet(QStringLiteral("QPushButton { %1 color: %2; padding: 7px 16px; border: none; }")
                             .arg(Theme::roundedStyle(Theme::mint, 7), Theme::base.name()));
    connect(retry, &QPushButton::clicked, m_model, &MegaFolderBrowserModel::load);
    column->addWidget(retry, 0, Qt::AlignHCenter);
    column->addStretch();
    return page;
}

QWidget *MegaFolderBrowser::buildBrowserPage()
{
    auto *page = new QWidget;
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);

    auto *navigation = new QFrame;
    navigation->setObjectName(QStringLiteral("navigation"));
    navigation->setStyleSheet(QStringLiteral("#navigation { %1 }").arg(Theme::roundedStyle(Theme::card, 9)));
    auto *navigationRow = new QHBoxLayout(navigation);
    navigationRow->setContentsMargins(10, 10, 10, 10);
    navigationRow->setSpacing(10);
    m_parentButton = iconButton(QStringLiteral("arrow-up"), QStringLiteral("Parent folder"));
    m_parentButton->setFixedWidth(22);
    connect(m_parentButton, &QToolButton::clicked, this, [this] {
        const MegaFolderNode *current = m_model->tree() ? m_model->tree()->node(m_model->currentFolder()) : nullptr;
        if (current && current->parent)
            m_model->navigate(*current->parent);
    });
    navigationRow->addWidget(m_parentButton);
    m_trail = new QScrollArea;
    m_trail->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_trail->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_trail->setFrameShape(QFrame::NoFrame);
    m_trail->setWidgetResizable(true);
    m_trail->setFixedHeight(24);
    m_trail->setStyleSheet(QStringLiteral("background: transparent;"));
    navigationRow->addWidget(m_trail, 1);
    QToolButton *refresh =
        iconButton(QStringLiteral("refresh-cw"), QStringLiteral("Refresh folder (clears selection)"));
    connect(refresh, &QToolButton::clicked, m_model, &MegaFolderBrowserModel::load);
    navigationRow->addWidget(refresh);
    column->addWidget(navigation);

    auto *firstRow = new QHBoxLayout;
    firstRow->setSpacing(14);
    m_search = new QLineEdit;
    m_search->setPlaceholderText(QStringLiteral("Search file names or folders"));
    m_search->setClearButtonEnabled(true);
    m_search->setFont(Theme::font(11));
    m_search->setStyleSheet(QStringLiteral("QLineEdit { %1 padding: 5px 9px; border: 1px solid %2; }")
                                .arg(Theme::roundedStyle(Theme::card, 8), Theme::white(0.08).name(QColor::HexArgb)));
    QPalette searchPalette = m_search->palette();
    searchPalette.setColor(QPalette::PlaceholderText, Theme::white(0.4));
    searchPalette.setColor(QPalette::Text, Qt::white);
    m_search->setPalette(searchPalette);
    connect(m_search, &QLineEdit::textEdited, m_model, &MegaFolderBrowserModel::setSearch);
    firstRow->addWidget(m_search, 1);
    m_videosOnly = new QCheckBox(QStringLiteral("Videos only"));
    connect(m_videosOnly, &QCheckBox::clicked, m_model, &MegaFolderBrowserModel::setVideosOnly);
    m_recursive = new QCheckBox(QStringLiteral("Include subfolders"));
    connect(m_recursive, &QCheckBox::clicked, m_model, &MegaFolderBrowserModel::setRecursive);
    firstRow->addWidget(m_videosOnly);
    firstRow->addWidget(m_recursive);
    column->addLayout(firstRow);

    auto *secondRow = new QHBoxLayout;
    secondRow->setSpacing(14);
    m_shownCount = Theme::label(QString(), 11, QFont::Normal, Theme::white(0.55));
    secondRow->addWidget(m_shownCount);
    m_selectedOnly = new QCheckBox(QStringLiteral("Show selected"));
    connect(m_selectedOnly, &QCheckBox::clicked, m_model, &MegaFolderBrowserModel::setSelectedOnly);
    secondRow->addWidget(m_selectedOnly);
    secondRow->addStretch();
    m_selectAll = new QPushButton(QStringLiteral("Select all shown"));
    connect(m_selectAll, &QPushButton::clicked, m_model, &MegaFolderBrowserModel::selectVisible);
    m_clearSelection = new QPushButton(QStringLiteral("Clear selection"));
    connect(m_clearSelection, &QPushButton::clicked, m_model, [this] { m_model->setSelected({}); });
    secondRow->addWidget(m_selectAll);
    secondRow->addWidget(m_clearSelection);
    column->addLayout(secondRow);
    for (QWidget *control : {static_cast<QWidget *>(m_videosOnly), static_cast<QWidget *>(m_recursive),
                             static_cast<QWidget *>(m_selectedOnly), static_cast<QWidget *>(m_selectAll),
                             static_cast<QWidget *>(m_clearSelection)})
        control->setFont(Theme::font(11));

    m_skipped = Theme::label(QString(), 11, QFont::Normal, Theme::orange);
    column->addWidget(m_skipped);

    m_listRegion = new QStackedWidget;
    m_listRegion->setObjectName(QStringLiteral("listRegion"));
    m_listRegion->setStyleSheet(
        QStringLiteral("#listRegion { %1 }").arg(Theme::roundedStyle(Theme::withAlpha(Theme::card, 0.25), 10)));
    auto *empty = new QWidget;
    auto *emptyColumn = new QVBoxLayout(empty);
    emptyColumn->setSpacing(10);
    emptyColumn->addStretch();
    auto *emptyIcon = new QLabel;
    emptyIcon->setPixmap(Theme::pixmap(QStringLiteral("file-search"), 29, Theme::withAlpha(Theme::mint, 0.7)));
    emptyColumn->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    m_noMatches = Theme::label(QString(), 13, QFont::Medium);
    emptyColumn->addWidget(m_noMatches, 0, Qt::AlignHCenter);
    emptyColumn->addWidget(
        Theme::label(QStringLiteral("Try another search, include subfolders, or turn off Videos only."), 11,
                     QFont::Normal, Theme::white(0.55)),
        0, Qt::AlignHCenter);
    emptyColumn->addStretch();
    m_listRegion->addWidget(empty);
    m_list = new QListView;
    m_list->setModel(m_entries);
    m_list->setItemDelegate(new MegaFolderEntryDelegate(m_list));
    m_list->setUniformItemSizes(true);
    m_list->setMouseTracking(true);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_list->setStyleSheet(QStringLiteral("QListView { background: transparent; padding: 2px; }"));
    connect(m_list, &QListView::clicked, this, [this](const QModelIndex &index) {
        const MegaFolderNode &node = m_entries->nodeAt(index.row());
        if (node.isFolder)
            m_model->navigate(node.id);
        else
            m_model->toggle(node.id);
    });
    // From the keyboard: Space picks a file, Return opens a folder.
    m_list->installEventFilter(this);
    m_listRegion->addWidget(m_list);
    column->addWidget(m_listRegion, 1);

    auto *divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setStyleSheet(QStringLiteral("color: %1;").arg(Theme::white(0.1).name(QColor::HexArgb)));
    column->addWidget(divider);
    column->addWidget(buildFooter());
    return page;
}

QWidget *MegaFolderBrowser::buildFooter()
{
    auto *footer = new QWidget;
    auto *row = new QHBoxLayout(footer);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(15);
    auto *summary = new QVBoxLayout;
    summary->setSpacing(5);
    m_summary = Theme::label(QString(), 13, QFont::DemiBold);
    summary->addWidget(m_summary);
    auto *folderRow = new QHBoxLayout;
    folderRow->setSpacing(8);
    m_saveTo = Theme::label(QString(), 10, QFont::Normal, Theme::white(0.55));
    m_saveTo->setMaximumWidth(380);
    folderRow->addWidget(m_saveTo);
    auto *change = new QPushButton(QStringLiteral("Change folder\u2026"));
    change->setFont(Theme::font(10));
    connect(change, &QPushButton::clicked, &m_manager, &DownloadManager::chooseFolder);
    folderRow->addWidget(change);
    folderRow->addStretch();
    summary->addLayout(folderRow);
    summary->addWidget(Theme::label(QStringLiteral("Original files \u00b7 Selection includes all folders"), 9,
                                    QFont::Normal, Theme::white(0.45)));
    row->addLayout(summary, 1);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    row->addWidget(cancel);
    m_download = new QPushButton;
    m_download->setIcon(Theme::icon(QStringLiteral("arrow-down"), 14, Theme::base));
    m_download->setFont(Theme::font(12, QFont::DemiBold));
    m_download->setCursor(Qt::PointingHandCursor);
    m_download->setObjectName(QStringLiteral("download"));
    m_download->setStyleSheet(Theme::primaryButtonStyle(QStringLiteral("download"), 11));
    connect(m_download, &QPushButton::clicked, this, &MegaFolderBrowser::downloadSelected);
    row->addWidget(m_download);
    return footer;
}

void MegaFolderBrowser::updateReading()
{
    const qint64 read = m_model->itemsRead();
    m_loadingTitle->setText(read > 0 ? QStringLiteral("Reading %L1 items\u2026").arg(read)
                                     : QStringLiteral("Fetching folder contents\u2026"));
}

void MegaFolderBrowser::updateBody()
{
    updateReading();
    if (m_model->isLoading())
        m_readingTick->start();
    else
        m_readingTick->stop();
    if (m_model->isLoading())
        m_body->setCurrentWidget(m_loadingPage);
    else if (!m_model->error().isEmpty())
        m_body->setCurrentWidget(m_errorPage);
    else if (m_model->tree())
        m_body->setCurrentWidget(m_browserPage);
    else
        m_body->setCurrentWidget(m_errorPage); // a fetch that ended without a result: offer it again
    m_errorText->setText(m_model->isLoading() || !m_model->error().isEmpty() || m_model->tree()
                             ? m_model->error()
                             : QStringLiteral("The folder listing was stopped before it finished."));
    const qint64 skipped = m_model->tree() ? m_model->tree()->listing().skippedNodes : 0;
    m_skipped->setVisible(skipped > 0);
    m_skipped->setText(QStringLiteral("\u26a0 %1 entries could not be read and are not shown.").arg(skipped));
}

void MegaFolderBrowser::updateNavigation()
{
    const auto &tree = m_model->tree();
    m_parentButton->setEnabled(tree && m_model->currentFolder() != tree->listing().rootID);
    // The trail is rebuilt whole; setWidget deletes the old one.
    auto *trail = new QWidget;
    auto *row = new QHBoxLayout(trail);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    const QList<MegaFolderNode> crumbs = m_model->breadcrumbs();
    for (const MegaFolderNode &crumb : crumbs) {
        const bool current = crumb.id == m_model->currentFolder();
        auto *button = new QToolButton;
        button->setText(crumb.name);
        button->setAutoRaise(true);
        button->setCursor(Qt::PointingHandCursor);
        button->setFont(Theme::font(11, current ? QFont::DemiBold : QFont::Normal));
        button->setStyleSheet(QStringLiteral("QToolButton { color: %1; border: none; padding: 0; }")
                                  .arg((current ? Theme::mint : Theme::white(0.55)).name(QColor::HexArgb)));
        const QString id = crumb.id;
        connect(button, &QToolButton::clicked, m_model, [this, id] { m_model->navigate(id); });
        row->addWidget(button);
        if (!current) {
            auto *chevron = new QLabel;
            chevron->setPixmap(Theme::pixmap(QStringLiteral("chevron-right"), 10, Theme::white(0.3)));
            row->addWidget(chevron);
        }
    }
    row->addStretch(1);
    m_trail->setWidget(trail);
    m_trail->horizontalScrollBar()->setValue(m_trail->horizontalScrollBar()->maximum());
}

void MegaFolderBrowser::updateFilters()
{
    if (m_search->text() != m_model->search())
        m_search->setText(m_model->search());
    m_videosOnly->setChecked(m_model->videosOnly());
    m_recursive->setChecked(m_model->recursive());
    m_selectedOnly->setChecked(m_model->selectedOnly());
    m_videosOnly->setEnabled(!m_model->selectedOnly());
    m_recursive->setEnabled(!m_model->selectedOnly());
    const qsizetype shown = m_model->visibleFiles().size();
    m_shownCount->setText(plural(shown, "file") + QStringLiteral(" shown"));
    m_selectAll->setEnabled(shown > 0);
    m_clearSelection->setEnabled(!m_model->selected().isEmpty());
    m_noMatches->setText(m_model->selectedOnly() ? QStringLiteral("No selected files match this search.")
                                                 : QStringLiteral("No matching files in this folder."));
    m_listRegion->setCurrentIndex(m_entries->rowCount() == 0 ? 0 : 1);
}

void MegaFolderBrowser::updateSelection()
{
    const qsizetype count = m_model->selected().size();
    m_summary->setText(QStringLiteral("%1 selected \u00b7 %2").arg(count).arg(m_model->selectedSize()));
    m_download->setText(QStringLiteral("Download selected (%1)").arg(count));
    m_download->setEnabled(count > 0);
    m_clearSelection->setEnabled(count > 0);
}

void MegaFolderBrowser::updateFolder()
{
    const QString folder = m_manager.folder();
    m_saveTo->setToolTip(Theme::plainToolTip(folder));
    m_saveTo->setText(m_saveTo->fontMetrics().elidedText(QStringLiteral("Save to: ") + folder, Qt::ElideMiddle,
                                                         m_saveTo->maximumWidth()));
}

void MegaFolderBrowser::downloadSelected()
{
    if (!m_model->tree())
        return;
    m_manager.addMegaFiles(m_model->chosenFiles(), m_model->tree()->listing());
    accept();
}
