#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// Orders names the way a desktop file manager does: letter case ignored and
// runs of digits compared by value, so "clip 2" comes before "Clip 10".
// The comparison is ICU's collation for the user's language, or US English
// when the process runs in the C locale (where numeric ordering is ignored).

// For each of count names, its position in natural order; names that compare
// equal share a rank, so a stable sort on ranks keeps their order. Counts up
// to 2^32 names.
std::vector<quint32> naturalRanks(qsizetype count, const std::function<QStringView(qsizetype)> &nameAt);

// Sorts names in natural order, stable for names that compare equal.
void sortNaturally(QStringList &names);
