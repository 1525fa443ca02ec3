#pragma once

#include "app/records/PlaylistListing.h"

#include <QDialog>

class DownloadManager;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTreeView;

// The panel in which the user picks videos from a link that holds several
// (a playlist, a channel, a page with more than one video); each picked one
// becomes a download of its own.
class PlaylistPicker : public QDialog {
    Q_OBJECT

public:
    PlaylistPicker(DownloadManager &manager, const PlaylistListing &listing, QWidget *parent = nullptr);

    // The entries ticked, by their place in the listing.
    QList<int> chosen() const;
    void setAllChosen(bool chosen);
    void setSearch(const QString &text);
    int shownCount() const;

private:
    void updateSummary();
    void download();

    DownloadManager &m_manager;
    QStandardItemModel *m_entries;
    QSortFilterProxyModel *m_filter;
    QTreeView *m_list = nullptr;
    QLineEdit *m_search = nullptr;
    QComboBox *m_quality = nullptr;
    QLabel *m_summary = nullptr;
    QPushButton *m_download = nullptr;
};
