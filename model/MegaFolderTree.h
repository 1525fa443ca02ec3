#pragma once

#include "model/MegaFolderListing.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>

#include <vector>

// An index over one listing for navigation and search. Immutable once built;
// every walk along parent links survives cycles and missing parents.
class MegaFolderTree {
public:
    explicit MegaFolderTree(MegaFolderListing listing = {});

    const MegaFolderListing &listing() const { return m_listing; }

    // The first node of the listing with this id, or null.
    const MegaFolderNode *node(const QString &id) const;
    // Every node filed under this parent id (the empty text for nodes without
    // a parent), duplicates included, in listing order.
    QList<MegaFolderNode> children(const QString &parentID) const;

    QList<MegaFolderNode> folders(const QString &id) const;
    // The files under id that pass the filters, in name order; nothing once
    // cancelled turns true (it is read as the walk goes, from any thread).
    QList<MegaFolderNode> files(const QString &id, bool recursive, bool videosOnly, const QString &search,
                                const std::atomic<bool> *cancelled = nullptr) const;
    QString relativePath(const MegaFolderNode &node, const QString &fromID) const;
    QList<MegaFolderNode> breadcrumbs(const QString &toID) const;
    // The file nodes among ids (unknown ids and folders dropped), in name order.
    QList<MegaFolderNode> filesAmong(const QSet<QString> &ids) const;

private:
    // Path of the folders from fromID down to startID (inclusive), outermost first.
    QString pathFrom(std::optional<QString> startID, const QString &fromID) const;
    QList<MegaFolderNode> sortedByName(std::vector<qsizetype> indexes) const;

    MegaFolderListing m_listing;
    QHash<QString, qsizetype> m_byID;
    QHash<QString, std::vector<qsizetype>> m_children;
    // Position of each node in the natural order of all names; equal names share a rank.
    std::vector<qsizetype> m_nameRank;
};
