// Opening a large share end to end: the real lark-mega lists it from the
// emulator, the browser decodes it and builds the tree; then one filter change.
#include "app/browser/MegaFolderBrowserModel.h"
#include "bench/BenchMain.h"
#include "tests/support/MegaEmulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>

#include <benchmark/benchmark.h>

namespace {

MegaEmulator *emulator()
{
    static MegaEmulator instance;
    static const QString error = instance.start();
    return error.isEmpty() ? &instance : nullptr;
}

// 100,000 nodes: 1,000 folders two levels deep, the rest files.
QString largeShare()
{
    static QString link;
    if (!link.isEmpty())
        return link;
    QJsonArray nodes{QJsonObject{{"id", "root"}, {"type", "folder"}, {"name", "Archive"}}};
    for (int i = 0; i < 1000; ++i)
        nodes.append(QJsonObject{{"id", QString("d%1").arg(i)},
                                 {"type", "folder"},
                                 {"name", QString("Folder %1").arg(i)},
                                 {"parent", i < 30 ? QString("root") : QString("d%1").arg(i % 30)}});
    for (int i = 0; i < 98999; ++i)
        nodes.append(QJsonObject{{"id", QString("f%1").arg(i)},
                                 {"type", "file"},
                                 {"name", QString("Clip %1.%2").arg(i).arg(i % 3 ? "mp4" : "jpg")},
                                 {"parent", QString("d%1").arg(i % 1000)}});
    link = emulator()->addShare(nodes)["link"].toString();
    return link;
}

void BM_OpenShareOf100000Nodes(benchmark::State &state)
{
    if (!emulator())
        return state.SkipWithError("the MEGA emulator did not start");
    const QString link = largeShare();
    double filterMs = 0;
    double filterShownMs = 0;
    for (auto _ : state) {
        MegaFolderBrowserModel model(link, toolPath());
        model.load();
        // Open until its files are shown.
        while ((!model.tree() || model.visibleFiles().isEmpty()) && model.error().isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!model.tree())
            return state.SkipWithError(qPrintable(model.error()));
        state.PauseTiming();
        // How long the main thread is held by a change of filter, and how long until its files are shown.
        QElapsedTimer timer;
        timer.start();
        model.setVideosOnly(false);
        filterMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        while (model.visibleFiles().size() != 98999)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        filterShownMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        state.ResumeTiming();
    }
    state.counters["filter_change_ms"] = filterMs;
    state.counters["filter_shown_ms"] = filterShownMs;
}
BENCHMARK(BM_OpenShareOf100000Nodes)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks<QCoreApplication>(argc, argv);
}
