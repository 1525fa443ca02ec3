#pragma once

#include "app/records/DownloadItem.h"

#include <QAbstractListModel>

class DownloadManager;

// The manager's items, newest first, for the views. Every change is reported
// as exactly the rows it touched.
class DownloadListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        UrlRole,
        TitleRole,
        FolderRole,
        QualityRole,
        BrowserRole,
        StateRole,
        ProgressRole,
        SpeedRole,
        EtaRole,
        SizeRole,
        DetailRole,
        FileRole,
        CreatedRole,
        PlatformRole,
    };
    Q_ENUM(Role)

    explicit DownloadListModel(const DownloadManager &manager, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    friend class DownloadManager;
    void beginInsertAtTop() { beginInsertRows({}, 0, 0); }
    void endInsertAtTop() { endInsertRows(); }
    void beginRemove(int first, int last) { beginRemoveRows({}, first, last); }
    void endRemove() { endRemoveRows(); }
    void beginRebuild() { beginResetModel(); }
    void endRebuild() { endResetModel(); }
    void rowChanged(int row);

    const DownloadManager &m_manager;
};
