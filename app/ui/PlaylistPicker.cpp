#include "app/ui/PlaylistPicker.h"

#include "app/manager/DownloadManager.h"
#include "app/manager/YtDlpCommand.h"
#include "app/theme/Theme.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

constexpr int placeRole = Qt::UserRole + 1;

} // namespace

PlaylistPicker::PlaylistPicker(DownloadManager &manager, const PlaylistListing &listing, QWidget *parent) :
    QDialog(parent),
    m_manager(manager),
    m_entries(new QStandardItemModel(this)),
    m_filter(new QSortFilterProxyModel(this))
{
    setWindowTitle(QStringLiteral("Choose videos"));
    setModal(true);
    resize(760, 560);
    setMinimumSize(560, 420);
    Theme::applyPanelStyle(this);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(24, 22, 24, 22);
    column->setSpacing(14);
    auto *title =
        Theme::label(listing.title.isEmpty() ? QStringLiteral("Choose videos") : listing.title, 20, QFont::DemiBold);
    title->setTextFormat(Qt::PlainText);
    title->setMaximumWidth(700);
    title->setText(title->fontMetrics().elidedText(title->text(), Qt::ElideRight, 700));
    column->addWidget(title);
    QString line = QStringLiteral("%1 video%2 behind this link")
                       .arg(listing.entries.size())
                       .arg(listing.entries.size() == 1 ? QString() : QStringLiteral("s"));
    if (listing.skipped > 0)
        line += QStringLiteral(" \u00b7 %1 downloaded before, not shown").arg(listing.skipped);
    column->addWidget(Theme::label(line, 12, QFont::Normal, Theme::white(0.55)));

    auto *tools = new QHBoxLayout;
    tools->setSpacing(8);
    m_search = new QLineEdit;
    m_search->setPlaceholderText(QStringLiteral("Search titles"));
    m_search->setClearButtonEnabled(true);
    m_search->setAccessibleName(QStringLiteral("Search titles"));
    connect(m_search, &QLineEdit::textChanged, this, &PlaylistPicker::setSearch);
    tools->addWidget(m_search, 1);
    auto *all = new QPushButton(QStringLiteral("Select all"));
    connect(all, &QPushButton::clicked, this, [this] { setAllChosen(true); });
    tools->addWidget(all);
    auto *none = new QPushButton(QStringLiteral("Select none"));
    connect(none, &QPushButton::clicked, this, [this] { setAllChosen(false); });
    tools->addWidget(none);
    column->addLayout(tools);

    m_entries->setColumnCount(2);
    m_entries->setHorizontalHeaderLabels({QStringLiteral("Title"), QStringLiteral("Length")});
    for (qsizetype at = 0; at < listing.entries.size(); ++at) {
        const PlaylistEntry &entry = listing.entries[at];
        auto *name = new QStandardItem(entry.title);
        name->setCheckable(true);
        name->setCheckState(Qt::Checked);
        name->setEditable(false);
        name->setData(static_cast<int>(at), placeRole);
        name->setToolTip(Theme::plainToolTip(entry.title));
        auto *length = new QStandardItem(playlistDuration(entry.durationSeconds));
        length->setEditable(false);
        length->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        m_entries->appendRow({name, length});
    }
    m_filter->setSourceModel(m_entries);
    m_filter->setFilterCaseSensitivity(Qt::CaseInsensitive);
    m_filter->setFilterKeyColumn(0);
    m_list = new QTreeView;
    m_list->setModel(m_filter);
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setAlternatingRowColors(false);
    m_list->setAccessibleName(QStringLiteral("Videos"));
    m_list->header()->setStretchLastSection(false);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    m_list->setStyleSheet(QStringLiteral("QTreeView { %1 border: none; padding: 4px 8px; }"
                                         "QTreeView::item { padding: 6px 2px; }"
                                         "QHeaderView::section { background: transparent; color: %2; border: none; "
                                         "padding: 6px 2px; }")
                              .arg(Theme::roundedStyle(Theme::withAlpha(Theme::card, 0.35), 10),
                                   Theme::white(0.5).name(QColor::HexArgb)));
    column->addWidget(m_list, 1);
    connect(m_entries, &QStandardItemModel::itemChanged, this, &PlaylistPicker::updateSummary);

    auto *footer = new QHBoxLayout;
    footer->setSpacing(10);
    m_summary = Theme::label(QString(), 13, QFont::DemiBold);
    footer->addWidget(m_summary, 1);
    footer->addWidget(Theme::label(QStringLiteral("Quality"), 11, QFont::Normal, Theme::white(0.55)));
    m_quality = new QComboBox;
    m_quality->addItems(qualityChoices);
    m_quality->setAccessibleName(QStringLiteral("Quality"));
    m_quality->setCurrentText(qualityChoices.contains(listing.quality) ? listing.quality : manager.quality());
    footer->addWidget(m_quality);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    footer->addWidget(cancel);
    m_download = new QPushButton;
    m_download->setObjectName(QStringLiteral("download"));
    m_download->setIcon(Theme::icon(QStringLiteral("arrow-down"), 14, Theme::base));
    m_download->setFont(Theme::font(12, QFont::DemiBold));
    m_download->setStyleSheet(Theme::primaryButtonStyle(QStringLiteral("download"), 9));
    m_download->setDefault(true);
    connect(m_download, &QPushButton::clicked, this, &PlaylistPicker::download);
    footer->addWidget(m_download);
    column->addLayout(footer);
    updateSummary();
}

QList<int> PlaylistPicker::chosen() const
{
    QList<int> places;
    for (int row = 0; row < m_entries->rowCount(); ++row) {
        if (m_entries->item(row, 0)->checkState() == Qt::Checked)
            places.append(m_entries->item(row, 0)->data(placeRole).toInt());
    }
    return places;
}

void PlaylistPicker::setAllChosen(bool chosen)
{
    // Only what the search shows: "select all" after a search picks the matches.
    const QSignalBlocker quiet(m_entries);
    for (int row = 0; row < m_filter->rowCount(); ++row) {
        const QModelIndex index = m_filter->mapToSource(m_filter->index(row, 0));
        m_entries->itemFromIndex(index)->setCheckState(chosen ? Qt::Checked : Qt::Unchecked);
    }
    m_list->viewport()->update();
    updateSummary();
}

void PlaylistPicker::setSearch(const QString &text)
{
    if (m_search->text() != text)
        m_search->setText(text);
    m_filter->setFilterFixedString(text);
}

int PlaylistPicker::shownCount() const
{
    return m_filter->rowCount();
}

void PlaylistPicker::updateSummary()
{
    const auto count = chosen().size();
    m_summary->setText(count == 0 ? QStringLiteral("Nothing selected")
                                  : QStringLiteral("%1 of %2 selected").arg(count).arg(m_entries->rowCount()));
    m_download->setText(count == 1 ? QStringLiteral("Download 1 video")
                                   : QStringLiteral("Download %1 videos").arg(count));
    m_download->setEnabled(count > 0);
}

void PlaylistPicker::download()
{
    const QList<int> places = chosen();
    if (places.isEmpty())
        return;
    m_manager.addPlaylistEntries(places, m_quality->currentText());
    accept();
}
