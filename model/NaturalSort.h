#pragma once

#include <QCollator>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <numeric>
#include <vector>

// The comparison a desktop file manager sorts names with: letter case ignored
// and runs of digits compared by value, so "clip 2" comes before "Clip 10".
QCollator naturalCollator();

// For each of count names, its position in natural order; names that compare
// equal share a rank, so a stable sort on ranks keeps their order.
template <typename NameAt>
std::vector<qsizetype> naturalRanks(qsizetype count, NameAt nameAt)
{
    const QCollator collator = naturalCollator();
    std::vector<QCollatorSortKey> keys;
    keys.reserve(static_cast<size_t>(count));
    for (qsizetype i = 0; i < count; ++i)
        keys.push_back(collator.sortKey(nameAt(i)));
    std::vector<qsizetype> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    const auto key = [&keys](qsizetype i) -> const QCollatorSortKey & { return keys[static_cast<size_t>(i)]; };
    std::stable_sort(order.begin(), order.end(),
                     [&key](qsizetype a, qsizetype b) { return key(a).compare(key(b)) < 0; });
    std::vector<qsizetype> ranks(static_cast<size_t>(count));
    qsizetype rank = 0;
    for (size_t position = 0; position < order.size(); ++position) {
        if (position > 0 && key(order[position - 1]).compare(key(order[position])) != 0)
            rank = static_cast<qsizetype>(position);
        ranks[static_cast<size_t>(order[position])] = rank;
    }
    return ranks;
}

// Sorts names in natural order, stable for names that compare equal.
void sortNaturally(QStringList &names);
