#pragma once

#include "model/MegaFolderTree.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>

class MegaFolderBrowserModel;

// The browser's rows: the folders of the current folder, then the visible
// files. Only rows on screen are ever painted, so 50,000 files stay smooth.
class MegaFolderEntries : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role { NodeIDRole = Qt::UserRole + 1, IsFolderRole, IsVideoRole, IsSelectedRole, PathRole, SizeRole };

    explicit MegaFolderEntries(MegaFolderBrowserModel &model, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // The folder or file behind a row.
    const MegaFolderNode &nodeAt(int row) const;

private:
    void rebuild();
    void selectionChanged();

    MegaFolderBrowserModel &m_model;
    QList<MegaFolderNode> m_folders;
    MegaFolderNodeList m_files;
    QSet<QString> m_selected;
};

// Paints one folder or file row in the panel's style.
class MegaFolderEntryDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
