#include "app/ui/QueueFilter.h"

#include "app/manager/DownloadListModel.h"
#include "app/records/DownloadState.h"

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

// Both filters change the list in one layout change: filtering row by row
// would announce every scattered row that comes or goes, seconds on a long history.
void QueueFilter::setSection(const QString &section)
{
    m_section = section;
    invalidate();
}

void QueueFilter::setSearch(const QString &search)
{
    m_matcher.reset();
    if (!search.isEmpty())
        m_matcher.emplace(search);
    invalidate();
}

bool QueueFilter::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
    if (!sectionShows(m_section, index.data(DownloadListModel::StateRole).toInt()))
        return false;
    if (!m_matcher)
        return true;
    // The link too: rows whose title is not known yet differ only by it.
    return m_matcher->matches(index.data(DownloadListModel::TitleRole).toString()) ||
           m_matcher->matches(index.data(DownloadListModel::PlatformRole).toString()) ||
           m_matcher->matches(index.data(DownloadListModel::UrlRole).toString());
}
