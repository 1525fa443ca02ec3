#include "app/ui/QueueFilter.h"

#include "app/manager/DownloadListModel.h"
#include "app/records/DownloadState.h"
#include "model/TextSearch.h"

const QStringList QueueFilter::sections{QStringLiteral("All downloads"), QStringLiteral("In progress"),
                                        QStringLiteral("Completed"), QStringLiteral("Paused"),
                                        QStringLiteral("Failed")};

bool sectionShows(const QString &section, int state)
{
    const auto is = [state](DownloadState wanted) { return state == static_cast<int>(wanted); };
    if (section == QLatin1String("All downloads"))
        return true;
    if (section == QLatin1String("In progress"))
        return is(DownloadState::downloading) || is(DownloadState::queued);
    if (section == QLatin1String("Completed"))
        return is(DownloadState::completed);
    if (section == QLatin1String("Paused"))
        return is(DownloadState::paused);
    if (section == QLatin1String("Failed"))
        return is(DownloadState::failed);
    return false;
}

void QueueFilter::setSection(const QString &section)
{
    m_section = section;
    invalidateFilter();
}

void QueueFilter::setSearch(const QString &search)
{
    m_search = search;
    invalidateFilter();
}

bool QueueFilter::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
    if (!sectionShows(m_section, index.data(DownloadListModel::StateRole).toInt()))
        return false;
    if (m_search.isEmpty())
        return true;
    const TextSearch matcher(m_search);
    return matcher.matches(index.data(DownloadListModel::TitleRole).toString()) ||
           matcher.matches(index.data(DownloadListModel::PlatformRole).toString());
}
