#include "model/MegaFolderTree.h"
#include "model/NaturalSort.h"

#include <QRandomGenerator>

#include <benchmark/benchmark.h>

#include <clocale>

namespace {

// A share shaped like a real one: 1,000 folders three levels deep, the rest
// files with numbered, mixed-case names.
MegaFolderListing largeListing(int nodeCount)
{
    QRandomGenerator random(42);
    MegaFolderListing listing;
    listing.rootID = QStringLiteral("root0000");
    listing.initialFolderID = listing.rootID;
    listing.nodes.append({listing.rootID, {}, QStringLiteral("Share"), true, 0, {}});
    QStringList folders{listing.rootID};
    const int folderCount = nodeCount / 100;
    static const char *const words[] = {"Season", "clip", "Episode", "Holiday", "résumé", "Track", "video", "IMG"};
    for (int i = 1; i < nodeCount; ++i) {
        const QString id = QStringLiteral("n%1").arg(i, 7, 10, QLatin1Char('0'));
        const QString parent = folders[random.bounded(folders.size())];
        const QString word = QString::fromUtf8(words[random.bounded(8)]);
        if (i <= folderCount) {
            listing.nodes.append({id, parent, QStringLiteral("%1 %2").arg(word).arg(i), true, 0, {}});
            folders.append(id);
        } else {
            const char *extension = random.bounded(3) == 0 ? "txt" : "mp4";
            listing.nodes.append(
                {id, parent,
                 QStringLiteral("%1 %2.%3").arg(word).arg(random.bounded(5000)).arg(QLatin1String(extension)), false,
                 random.bounded(1 << 30), *MegaFileKey::fromText("key")});
        }
    }
    return listing;
}

const MegaFolderListing &sharedListing()
{
    static const MegaFolderListing listing = largeListing(100000);
    return listing;
}

void BM_BuildTree(benchmark::State &state)
{
    const MegaFolderListing &listing = sharedListing();
    for (auto _ : state) {
        MegaFolderTree tree(listing);
        benchmark::DoNotOptimize(tree);
    }
}
BENCHMARK(BM_BuildTree)->Unit(benchmark::kMillisecond);

void BM_RecursiveSearchFromRoot(benchmark::State &state)
{
    const MegaFolderTree tree(sharedListing());
    qsizetype found = 0;
    for (auto _ : state) {
        found = tree.files(tree.listing().rootID, true, false, QStringLiteral("episode 1")).size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["matches"] = static_cast<double>(found);
}
BENCHMARK(BM_RecursiveSearchFromRoot)->Unit(benchmark::kMillisecond);

void BM_RecursiveListingFromRoot(benchmark::State &state)
{
    const MegaFolderTree tree(sharedListing());
    for (auto _ : state)
        benchmark::DoNotOptimize(tree.files(tree.listing().rootID, true, false, {}));
}
BENCHMARK(BM_RecursiveListingFromRoot)->Unit(benchmark::kMillisecond);

void BM_SortNames(benchmark::State &state)
{
    QStringList names;
    for (const MegaFolderNode &node : sharedListing().nodes)
        names.append(node.name);
    for (auto _ : state) {
        QStringList copy = names;
        sortNaturally(copy);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_SortNames)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
