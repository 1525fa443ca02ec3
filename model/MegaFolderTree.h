#pragma once

#include "model/MegaFolderListing.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <iterator>
#include <span>
#include <vector>

// Nodes of one listing picked by position. It shares the listing's nodes
// instead of copying them: a million files found cost 8 MB, not 120.
class MegaFolderNodeList {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = MegaFolderNode;
        using difference_type = qsizetype;
        using pointer = const MegaFolderNode *;
        using reference = const MegaFolderNode &;

        const_iterator() = default;
        const_iterator(const MegaFolderNodeList *list, qsizetype at) : m_list(list), m_at(at) {}
        reference operator*() const { return (*m_list)[m_at]; }
        pointer operator->() const { return &(*m_list)[m_at]; }
        const_iterator &operator++()
        {
            ++m_at;
            return *this;
        }
        const_iterator operator++(int) { return {m_list, m_at++}; }
        bool operator==(const const_iterator &other) const { return m_at == other.m_at; }

    private:
        const MegaFolderNodeList *m_list = nullptr;
        qsizetype m_at = 0;
    };

    MegaFolderNodeList() = default;
    MegaFolderNodeList(QList<MegaFolderNode> nodes, QList<qsizetype> positions) :
        m_nodes(std::move(nodes)),
        m_positions(std::move(positions))
    {}

    qsizetype size() const { return m_positions.size(); }
    bool isEmpty() const { return m_positions.isEmpty(); }
    const MegaFolderNode &operator[](qsizetype i) const { return m_nodes[m_positions[i]]; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

    // The nodes for which keep is true, in the same order.
    template <typename Keep>
    MegaFolderNodeList filtered(Keep keep) const
    {
        QList<qsizetype> kept;
        for (qsizetype position : m_positions) {
            if (keep(m_nodes[position]))
                kept.append(position);
        }
        return {m_nodes, std::move(kept)};
    }
    QList<MegaFolderNode> toList() const { return {begin(), end()}; }

private:
    QList<MegaFolderNode> m_nodes;
    QList<qsizetype> m_positions;
};

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
    MegaFolderNodeList files(const QString &id, bool recursive, bool videosOnly, const QString &search,
                             const std::atomic<bool> *cancelled = nullptr) const;
    QString relativePath(const MegaFolderNode &node, const QString &fromID) const;
    QList<MegaFolderNode> breadcrumbs(const QString &toID) const;
    // The file nodes among ids (unknown ids and folders dropped), in name order.
    MegaFolderNodeList filesAmong(const QSet<QString> &ids) const;

private:
    // The position of the first node with this id, or -1.
    qsizetype positionOf(QStringView id) const;
    // Path of the folders from fromID down to startID (inclusive), outermost first.
    QString pathFrom(std::optional<QString> startID, const QString &fromID) const;
    MegaFolderNodeList sortedByName(QList<qsizetype> positions) const;

    MegaFolderListing m_listing;
    // An open-addressed table of the first position of each id, plus one (0
    // marks a free slot): a tenth of the room of a hash of strings.
    std::vector<quint32> m_idSlots;
    // Where the positions of one parent's children lie in m_childPositions.
    struct Children {
        quint32 begin = 0;
        quint32 count = 0;
    };
    std::span<const quint32> childPositions(Children children) const
    {
        return std::span(m_childPositions).subspan(children.begin, children.count);
    }
    QHash<QString, Children> m_children;
    std::vector<quint32> m_childPositions;
    // Position of each node in the natural order of all names; equal names share a rank.
    std::vector<quint32> m_nameRank;
};
