#include "app/manager/DownloadListModel.h"

#include "app/manager/DownloadManager.h"
#include "app/records/FailureWords.h"

DownloadListModel::DownloadListModel(const DownloadManager &manager, QObject *parent) :
    QAbstractListModel(parent),
    m_manager(manager)
{}

int DownloadListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_manager.count();
}

QVariant DownloadListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const DownloadItem &item = m_manager.itemAt(index.row());
    switch (role) {
    case TitleRole:
        return item.title;
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        // Until the worker reads a title, the link tells rows of one site apart.
        return item.titleIsStandIn() ? item.url : item.title;
    case Qt::AccessibleDescriptionRole:
        // What a sighted user reads off the row: its state, then how far it got or what the worker said.
        if (item.state == DownloadState::downloading)
            return QStringLiteral("%1, %2").arg(rawValue(item.state), QString::asprintf("%.1f%%", item.progress));
        return item.detail.isEmpty() ? rawValue(item.state)
                                     : QStringLiteral("%1, %2").arg(rawValue(item.state),
                                                                    FailureWords::shownDetail(item, m_manager.now()));
    case IdRole:
        return item.id;
    case UrlRole:
        return item.url;
    case FolderRole:
        return item.folder;
    case QualityRole:
        return item.quality;
    case BrowserRole:
        return item.browser;
    case StateRole:
        return static_cast<int>(item.state);
    case ProgressRole:
        return item.progress;
    case SpeedRole:
        return item.speedText();
    case EtaRole:
        return item.etaText();
    case SizeRole:
        return item.sizeText();
    case DetailRole:
        return item.detail;
    case FileRole:
        return item.file ? QVariant(*item.file) : QVariant();
    case CreatedRole:
        return item.created;
    case PlatformRole:
        return item.platform();
    default:
        return {};
    }
}

QHash<int, QByteArray> DownloadListModel::roleNames() const
{
    return {
        {IdRole, "id"},           {UrlRole, "url"},         {TitleRole, "title"},       {FolderRole, "folder"},
        {QualityRole, "quality"}, {BrowserRole, "browser"}, {StateRole, "state"},       {ProgressRole, "progress"},
        {SpeedRole, "speed"},     {EtaRole, "eta"},         {SizeRole, "size"},         {DetailRole, "detail"},
        {FileRole, "file"},       {CreatedRole, "created"}, {PlatformRole, "platform"},
    };
}

void DownloadListModel::rowChanged(int row)
{
    const QModelIndex changed = index(row);
    Q_EMIT dataChanged(changed, changed);
}
