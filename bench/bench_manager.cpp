// The manager under load: many chatty workers, a large history, and a folder
// pick of many small files against aria2c on the same storage addresses.
#include "app/manager/DownloadListModel.h"
#include "app/manager/DownloadManager.h"
#include "bench/BenchMain.h"
#include "tests/support/MegaEmulator.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <set>

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

// 200 files of 1 MiB picked from one MEGA folder, three at a time: the
// manager with the real tool, to verified files, against aria2c fetching the
// same storage addresses with the same concurrency in the same run.
void BM_SmallFilesOfAFolderAgainstAria2(benchmark::State &state)
{
    constexpr int files = 200;
    constexpr int concurrency = 3;
    if (!QFile::exists(QStringLiteral("/usr/bin/aria2c")))
        return state.SkipWithError("aria2c is missing (Debian package aria2)");
    MegaEmulator emulator;
    if (!emulator.start().isEmpty())
        return state.SkipWithError("the MEGA emulator did not start");
    QTemporaryDir dir;
    QFile source(dir.filePath(QStringLiteral("source")));
    source.open(QIODevice::WriteOnly);
    source.write(QByteArray(1048576, 'x'));
    source.close();
    QJsonArray nodes{QJsonObject{{"id", "root"}, {"type", "folder"}, {"name", "Photos"}}};
    for (int i = 0; i < files; ++i)
        nodes.append(QJsonObject{{"id", QStringLiteral("f%1").arg(i)},
                                 {"type", "file"},
                                 {"name", QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'))},
                                 {"parent", "root"},
                                 {"path", source.fileName()}});
    const QJsonObject share = emulator.addShare(nodes);
    const ToolRun listed = runTool({QStringLiteral("--list-folder"), share[QLatin1String("link")].toString()});
    const auto listing = MegaFolderListing::fromJsonText(listed.output);
    if (!listing)
        return state.SkipWithError("the folder could not be listed");
    QList<MegaFolderNode> picked;
    for (const MegaFolderNode &node : listing->nodes) {
        if (!node.isFolder)
            picked.append(node);
    }

    QDir(dir.path()).mkpath(QStringLiteral("storage"));
    QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    double larkSeconds = 0;
    double ariaSeconds = 0;
    int round = 0;
    qsizetype logged = emulator.requestLog().size();
    for (auto _ : state) {
        QFile::remove(dir.filePath(QStringLiteral("storage/queue.json")));
        DownloadManager::Options options;
        options.storageDirectory = dir.filePath(QStringLiteral("storage"));
        options.settings = &settings;
        options.toolDirectory = QFileInfo(toolPath()).absolutePath();
        options.searchDirectories = QStringList{options.toolDirectory};
        DownloadManager manager(options);
        const QString folder = dir.filePath(QStringLiteral("lark-%1").arg(round));
        manager.setFolder(folder);
        manager.setConcurrency(concurrency);
        QElapsedTimer timer;
        timer.start();
        manager.addMegaFiles(picked, *listing);
        while (manager.finished() < files && manager.count(DownloadState::failed) == 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        larkSeconds += static_cast<double>(timer.nsecsElapsed()) / 1e9;
        if (manager.count(DownloadState::completed) != files) {
            static std::string message;
            message = "not every file was completed";
            for (int row = 0; row < manager.count(); ++row) {
                if (manager.itemAt(row).state != DownloadState::completed)
                    message += ": " + manager.itemAt(row).detail.toStdString();
            }
            return state.SkipWithError(message.c_str());
        }
        manager.shutdown();

        // The storage addresses the tool was given this round, whole-file form.
        std::set<QString> addresses;
        const QJsonArray log = emulator.requestLog();
        for (qsizetype i = logged; i < log.size(); ++i) {
            const QString path = log[i].toObject().value(QLatin1String("path")).toString();
            if (path.startsWith(QLatin1String("/dl/")))
                addresses.insert(emulator.apiUrl() + path.section(QLatin1Char('/'), 0, 2));
        }
        QFile list(dir.filePath(QStringLiteral("aria-input.txt")));
        list.open(QIODevice::WriteOnly | QIODevice::Truncate);
        int index = 0;
        for (const QString &address : addresses)
            list.write(QStringLiteral("%1\n  out=file-%2\n").arg(address).arg(index++).toUtf8());
        list.close();
        QProcess aria;
        aria.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        timer.restart();
        aria.start(QStringLiteral("/usr/bin/aria2c"),
                   {QStringLiteral("-q"), QStringLiteral("-j%1").arg(concurrency), QStringLiteral("-x1"),
                    QStringLiteral("--ca-certificate=") + emulator.caFile(), QStringLiteral("--file-allocation=none"),
                    QStringLiteral("-d"), dir.filePath(QStringLiteral("aria-%1").arg(round)), QStringLiteral("-i"),
                    list.fileName()});
        aria.waitForFinished(600000);
        ariaSeconds += static_cast<double>(timer.nsecsElapsed()) / 1e9;
        if (aria.exitCode() != 0 || index < files)
            return state.SkipWithError("aria2c failed");
        logged = emulator.requestLog().size();
        ++round;
    }
    const double fetched = files * static_cast<double>(state.iterations());
    state.counters["lark_files_per_s"] = fetched / larkSeconds;
    state.counters["aria2c_files_per_s"] = fetched / ariaSeconds;
    state.counters["ratio_to_aria2c"] = ariaSeconds / larkSeconds;
}
BENCHMARK(BM_SmallFilesOfAFolderAgainstAria2)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks<QCoreApplication>(argc, argv);
}
