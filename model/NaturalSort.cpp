#include "model/NaturalSort.h"

#include <QLocale>

#include <unicode/ucol.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>

namespace {

struct CollatorCloser {
    void operator()(UCollator *collator) const { ucol_close(collator); }
};
using Collator = std::unique_ptr<UCollator, CollatorCloser>;

Collator openNaturalCollator()
{
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    UErrorCode status = U_ZERO_ERROR;
    Collator collator(ucol_open(locale.name().toLatin1().constData(), &status));
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        collator.reset(ucol_open("en_US", &status));
    }
    // Secondary strength: case is ignored, accents still order names.
    ucol_setAttribute(collator.get(), UCOL_STRENGTH, UCOL_SECONDARY, &status);
    ucol_setAttribute(collator.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    return collator;
}

// ICU sort keys compare as C strings. Keeping them in one block with their
// first bytes inline makes most comparisons a single integer compare; an
// entry is 16 bytes, as a million of them are held while a listing is ranked.
struct SortKeys {
    struct Entry {
        quint64 prefix;
        quint32 offset;
        quint32 index;
    };
    // Starts with a zero byte: the rest of a key that found no room (past 4 GiB of keys).
    std::vector<char> bytes{0};
    std::vector<Entry> entries;

    int compare(const Entry &a, const Entry &b) const
    {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix ? -1 : 1;
        return std::strcmp(bytes.data() + a.offset, bytes.data() + b.offset);
    }
};

SortKeys sortKeys(qsizetype count, const std::function<QStringView(qsizetype)> &nameAt)
{
    const Collator collator = openNaturalCollator();
    SortKeys keys;
    keys.entries.reserve(static_cast<size_t>(count));
    keys.bytes.reserve(static_cast<size_t>(count) * 24);
    std::vector<uint8_t> buffer(256);
    for (qsizetype i = 0; i < count; ++i) {
        const QStringView name = nameAt(i);
        const auto source = reinterpret_cast<const UChar *>(name.utf16());
        const auto length = static_cast<int32_t>(std::min<qsizetype>(name.size(), INT32_MAX));
        int32_t needed =
            ucol_getSortKey(collator.get(), source, length, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (needed > static_cast<int32_t>(buffer.size())) {
            buffer.resize(static_cast<size_t>(needed));
            needed = ucol_getSortKey(collator.get(), source, length, buffer.data(), needed);
        }
        // needed counts the terminating zero byte, which ICU keys hold nowhere else.
        needed = std::max(needed, 1);
        quint64 prefix = 0;
        for (int b = 0; b < 8; ++b)
            prefix = (prefix << 8) | (b < needed ? buffer[static_cast<size_t>(b)] : 0u);
        // Past 4 GiB of keys a name is ordered by its first bytes alone.
        quint32 offset = 0;
        if (keys.bytes.size() + static_cast<size_t>(needed) <= UINT32_MAX) {
            offset = static_cast<quint32>(keys.bytes.size());
            keys.bytes.insert(keys.bytes.end(), buffer.begin(), buffer.begin() + needed);
            keys.bytes.back() = 0;
        }
        keys.entries.push_back({prefix, offset, static_cast<quint32>(i)});
    }
    return keys;
}

} // namespace

std::vector<quint32> naturalRanks(qsizetype count, const std::function<QStringView(qsizetype)> &nameAt)
{
    SortKeys keys = sortKeys(count, nameAt);
    std::vector<SortKeys::Entry> &entries = keys.entries;
    // Equal names get one rank whatever their order here, so the sort needs
    // no stability and no buffer beside the entries.
    std::sort(entries.begin(), entries.end(),
              [&keys](const SortKeys::Entry &a, const SortKeys::Entry &b) { return keys.compare(a, b) < 0; });
    std::vector<quint32> ranks(static_cast<size_t>(count));
    quint32 rank = 0;
    for (size_t position = 0; position < entries.size(); ++position) {
        if (position > 0 && keys.compare(entries[position - 1], entries[position]) != 0)
            rank = static_cast<quint32>(position);
        ranks[entries[position].index] = rank;
    }
    return ranks;
}

void sortNaturally(QStringList &names)
{
    const std::vector<quint32> ranks =
        naturalRanks(names.size(), [&names](qsizetype i) { return QStringView(names[i]); });
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
