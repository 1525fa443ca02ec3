#pragma once

#include "model/TextSearch.h"

#include <QSortFilterProxyModel>

#include <optional>

// The queue as the window shows it: the items of one sidebar section whose
// title or site label contains the search text.
class QueueFilter : public QSortFilterProxyModel {
    Q_OBJECT

public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    static const QStringList sections;

    void setSection(const QString &section);
    void setSearch(const QString &search);
    QString section() const { return m_section; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    QString m_section = sections.first();
    std::optional<TextSearch> m_matcher; // the search, prepared once for every row
};

// Whether an item in a state belongs to a sidebar section.
bool sectionShows(const QString &section, int state);
