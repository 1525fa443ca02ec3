#include "model/NaturalSort.h"

#include <QLocale>

QCollator naturalCollator()
{
    // In the C locale ICU ignores numeric mode, which would sort "10" before "2".
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setIgnorePunctuation(false);
    return collator;
}

void sortNaturally(QStringList &names)
{
    const std::vector<qsizetype> ranks = naturalRanks(names.size(), [&names](qsizetype i) { return names[i]; });
    std::vector<qsizetype> order(ranks.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&ranks](qsizetype a, qsizetype b) {
        return ranks[static_cast<size_t>(a)] < ranks[static_cast<size_t>(b)];
    });
    QStringList sorted;
    sorted.reserve(names.size());
    for (qsizetype index : order)
        sorted.append(names[index]);
    names = std::move(sorted);
}
