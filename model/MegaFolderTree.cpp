#include "model/MegaFolderTree.h"

#include "model/NaturalSort.h"
#include "model/TextSearch.h"

#include <QSet>

#include <algorithm>
#include <future>

MegaFolderTree::MegaFolderTree(MegaFolderListing listing) : m_listing(std::move(listing))
{
    const QList<MegaFolderNode> &nodes = m_listing.nodes;
    // Ranking every name once makes each later query sort on integers. It
    // takes as long as the rest, so on a large listing it runs beside it.
    const auto rankNames = [&nodes] {
        return naturalRanks(nodes.size(), [&nodes](qsizetype i) { return QStringView(nodes[i].name); });
    };
    std::future<std::vector<quint32>> ranks =
        std::async(nodes.size() >= 10000 ? std::launch::async : std::launch::deferred, rankNames);

    size_t slots = 16;
    while (slots < static_cast<size_t>(nodes.size()) * 2)
        slots *= 2;
    m_idSlots.assign(slots, 0);
    const size_t mask = slots - 1;
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        // The seed is the process's random one: ids come from the server, which must not pick collisions.
        size_t at = qHash(QStringView(nodes[i].id), QHashSeed::globalSeed()) & mask;
        while (m_idSlots[at] != 0 && nodes[m_idSlots[at] - 1].id != nodes[i].id)
            at = (at + 1) & mask;
        if (m_idSlots[at] == 0)
            m_idSlots[at] = static_cast<quint32>(i + 1);
    }
    // Children lie in one block, grouped by parent: counted first, then placed.
    for (const MegaFolderNode &node : nodes)
        ++m_children[node.parent.value_or(QString())].count;
    quint32 next = 0;
    for (Children &children : m_children) {
        children.begin = next;
        next += children.count;
        children.count = 0;
    }
    m_childPositions.resize(static_cast<size_t>(nodes.size()));
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        Children &children = m_children[nodes[i].parent.value_or(QString())];
        m_childPositions[children.begin + children.count++] = static_cast<quint32>(i);
    }
    m_nameRank = ranks.get();
}

qsizetype MegaFolderTree::positionOf(QStringView id) const
{
    const size_t mask = m_idSlots.size() - 1;
    for (size_t at = qHash(id, QHashSeed::globalSeed()) & mask; m_idSlots[at] != 0; at = (at + 1) & mask) {
        const qsizetype position = m_idSlots[at] - 1;
        if (m_listing.nodes[position].id == id)
            return position;
    }
    return -1;
}

const MegaFolderNode *MegaFolderTree::node(const QString &id) const
{
    const qsizetype position = positionOf(id);
    return position < 0 ? nullptr : &m_listing.nodes[position];
}

QList<MegaFolderNode> MegaFolderTree::children(const QString &parentID) const
{
    QList<MegaFolderNode> result;
    const auto found = m_children.constFind(parentID);
    if (found == m_children.cend())
        return result;
    result.reserve(found->count);
    for (quint32 index : childPositions(*found))
        result.append(m_listing.nodes[index]);
    return result;
}

MegaFolderNodeList MegaFolderTree::filesAmong(const QSet<QString> &ids) const
{
    QList<qsizetype> found;
    for (const QString &id : ids) {
        const qsizetype position = positionOf(id);
        if (position >= 0 && !m_listing.nodes[position].isFolder)
            found.push_back(position);
    }
    // A set has no order of its own; listing order settles equal names.
    std::sort(found.begin(), found.end());
    return sortedByName(std::move(found));
}

MegaFolderNodeList MegaFolderTree::sortedByName(QList<qsizetype> positions) const
{
    std::stable_sort(positions.begin(), positions.end(), [this](qsizetype a, qsizetype b) {
        return m_nameRank[static_cast<size_t>(a)] < m_nameRank[static_cast<size_t>(b)];
    });
    return {m_listing.nodes, std::move(positions)};
}

QList<MegaFolderNode> MegaFolderTree::folders(const QString &id) const
{
    QList<qsizetype> found;
    const auto entry = m_children.constFind(id);
    if (entry != m_children.cend()) {
        for (quint32 index : childPositions(*entry)) {
            if (m_listing.nodes[index].isFolder)
                found.push_back(index);
        }
    }
    return sortedByName(std::move(found)).toList();
}

MegaFolderNodeList MegaFolderTree::files(const QString &id, bool recursive, bool videosOnly, const QString &search,
                                         const std::atomic<bool> *cancelled) const
{
    const TextSearch matcher(search);
    QList<qsizetype> found;
    QSet<QString> visited;
    QList<QString> stack{id};

    while (!stack.isEmpty()) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return {};
        const QString folderID = stack.takeLast();
        if (visited.contains(folderID))
            continue;
        visited.insert(folderID);
        const auto entry = m_children.constFind(folderID);
        if (entry == m_children.cend())
            continue;
        // Every file here shares one relative path, so it is matched at most once.
        std::optional<bool> pathMatches;
        for (quint32 index : childPositions(*entry)) {
            if (cancelled && (index & 4095) == 0 && cancelled->load(std::memory_order_relaxed))
                return {};
            const MegaFolderNode &child = m_listing.nodes[index];
            if (child.isFolder) {
                if (recursive)
                    stack.append(child.id);
                continue;
            }
            if (videosOnly && !hasVideoExtension(child.name))
                continue;
            bool matches = matcher.matches(child.name);
            if (!matches) {
                if (!pathMatches)
                    pathMatches = matcher.matches(pathFrom(child.parent, id));
                matches = *pathMatches;
            }
            if (matches)
                found.push_back(index);
        }
    }
    if (cancelled && cancelled->load(std::memory_order_relaxed))
        return {};
    return sortedByName(std::move(found));
}

QString MegaFolderTree::pathFrom(std::optional<QString> startID, const QString &fromID) const
{
    QStringList names;
    QSet<QString> visited;
    std::optional<QString> current = std::move(startID);
    while (current && *current != fromID && !visited.contains(*current)) {
        visited.insert(*current);
        const MegaFolderNode *folder = node(*current);
        if (!folder)
            break;
        names.prepend(folder->name);
        current = folder->parent;
    }
    return names.join(QLatin1String(" / "));
}

QString MegaFolderTree::relativePath(const MegaFolderNode &node, const QString &fromID) const
{
    return pathFrom(node.parent, fromID);
}

QList<MegaFolderNode> MegaFolderTree::breadcrumbs(const QString &toID) const
{
    QList<MegaFolderNode> path;
    QSet<QString> visited{toID};
    QString current = toID;
    for (;;) {
        const MegaFolderNode *folder = node(current);
        if (!folder)
            break;
        path.prepend(*folder);
        if (current == m_listing.rootID || !folder->parent)
            break;
        current = *folder->parent;
        if (visited.contains(current))
            break;
        visited.insert(current);
    }
    return path;
}
