// The manager under load: many chatty workers, and a large history.
#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "bench/BenchMain.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace {

std::unique_ptr<DownloadManager> makeManager(const QTemporaryDir &dir, QSettings &settings)
{
    DownloadManager::Options options;
    options.storageDirectory = dir.filePath(QStringLiteral("storage"));
    options.settings = &settings;
    options.toolDirectory = dir.filePath(QStringLiteral("tools"));
    options.searchDirectories = QStringList{options.toolDirectory};
    auto manager = std::make_unique<DownloadManager>(options);
    manager->setFolder(dir.filePath(QStringLiteral("downloads")));
    return manager;
}

// 20 workers, each printing 50,000 progress lines as fast as it can.
void BM_ProgressLinesFromTwentyWorkers(benchmark::State &state)
{
    constexpr int workers = 20;
    constexpr int linesEach = 50000;
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("tools"));
    QFile script(dir.filePath(QStringLiteral("tools/yt-dlp")));
    script.open(QIODevice::WriteOnly);
    // Then it saves a file and says so, as yt-dlp does: a download without one is no success.
    script.write("#!/bin/sh\nyes 'LARK_PROGRESS| 42.0%|1.00MiB/s|00:01|2.00MiB' | head -n 50000\n"
                 "while [ \"$1\" != -P ]; do shift; done\ntouch \"$2/saved.mp4\"\n"
                 "echo \"LARK_FILE|\\\"$2/saved.mp4\\\"\"\n");
    script.close();
    script.setPermissions(script.permissions() | QFile::ExeOwner);
    QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);

    double linesPerSecond = 0;
    qint64 longestStall = 0;
    for (auto _ : state) {
        QFile::remove(dir.filePath(QStringLiteral("storage/queue.json"))); // each round starts with no history
        auto manager = makeManager(dir, settings);
        manager->setConcurrency(workers);
        qint64 applied = 0;
        QObject::connect(manager->model(), &QAbstractItemModel::dataChanged, manager.get(), [&applied] { ++applied; });
        // The event loop's responsiveness: the largest gap between two ticks of a 1 ms timer.
        QElapsedTimer sinceTick;
        qint64 stall = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { stall = std::max(stall, sinceTick.restart()); });
        QString links;
        for (int i = 0; i < workers; ++i)
            links += QStringLiteral("https://example.com/v/%1 ").arg(i);
        QElapsedTimer timer;
        timer.start();
        sinceTick.start();
        ticker.start(1);
        QElapsedTimer adding;
        adding.start();
        manager->add(links);
        while (manager->finished() < workers)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        ticker.stop();
        // Each worker's title, start and end changes count too; the rest are progress lines.
        linesPerSecond = static_cast<double>(workers * linesEach) / seconds;
        longestStall = std::max(longestStall, stall);
        if (applied < workers * linesEach) {
            static std::string message;
            message = "only " + std::to_string(applied) + " lines were applied";
            state.SkipWithError(message.c_str());
        }
        manager->shutdown();
    }
    state.counters["lines_per_s"] = linesPerSecond;
    state.counters["longest_stall_ms"] = static_cast<double>(longestStall);
}
BENCHMARK(BM_ProgressLinesFromTwentyWorkers)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void writeHistory(const QString &path, int count)
{
    QJsonArray array;
    for (int i = 0; i < count; ++i) {
        DownloadItem item(QStringLiteral("https://www.youtube.com/watch?v=%1").arg(i),
                          QStringLiteral("A video with a title of ordinary length, number %1").arg(i),
                          QStringLiteral("/home/user/Downloads/Lark"), QStringLiteral("Best available"),
                          QStringLiteral("None"));
        item.state = i % 3 == 0 ? DownloadState::completed : DownloadState::paused;
        item.progress = 42.5;
        item.file = QStringLiteral("/home/user/Downloads/Lark/video %1.mp4").arg(i);
        array.append(item.toJson());
    }
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

void BM_LoadHistoryOf10000(benchmark::State &state)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("storage"));
    writeHistory(dir.filePath(QStringLiteral("storage/queue.json")), 10000);
    QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    for (auto _ : state) {
        auto manager = makeManager(dir, settings);
        if (manager->count() != 10000)
            state.SkipWithError("the history did not load");
    }
}
BENCHMARK(BM_LoadHistoryOf10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WriteHistoryOf10000(benchmark::State &state)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("storage"));
    writeHistory(dir.filePath(QStringLiteral("storage/queue.json")), 10000);
    QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    auto manager = makeManager(dir, settings);
    for (auto _ : state)
        manager->writeQueue();
}
BENCHMARK(BM_WriteHistoryOf10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A pasted list of 10,000 links added to a queue that already holds 10,000.
void BM_AddPastedListOf10000(benchmark::State &state)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("storage"));
    QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        writeHistory(dir.filePath(QStringLiteral("storage/queue.json")), 10000);
        auto manager = makeManager(dir, settings);
        manager->setConcurrency(0);
        QStringList links;
        for (int i = 0; i < 10000; ++i)
            links.append(QStringLiteral("https://example.com/%1/%2").arg(round).arg(i));
        const QString text = links.join(QLatin1Char(' '));
        ++round;
        state.ResumeTiming();
        manager->add(text);
        if (manager->count() != 20000)
            state.SkipWithError("links were lost");
    }
}
BENCHMARK(BM_AddPastedListOf10000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks<QCoreApplication>(argc, argv);
}
