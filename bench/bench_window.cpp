// The window under load: start-up with a large history, and a queue that is
// repainted while twenty workers report progress as fast as they can.
#include "app/manager/DownloadManager.h"
#include "app/ui/ContentView.h"
#include "app/ui/LarkApp.h"
#include "app/ui/MainWindow.h"
#include "bench/BenchMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListView>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <benchmark/benchmark.h>

namespace {

void writeHistory(const QString &path, int count)
{
    QJsonArray array;
    for (int i = 0; i < count; ++i) {
        DownloadItem item(QStringLiteral("https://www.youtube.com/watch?v=%1").arg(i),
                          QStringLiteral("A video with a title of ordinary length, number %1").arg(i),
                          QStringLiteral("/home/user/Downloads/Lark"), QStringLiteral("Best available"),
                          QStringLiteral("None"));
        item.state = DownloadState::completed;
        item.progress = 100;
        array.append(item.toJson());
    }
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// The application shown, with the repaints of its queue counted.
struct ShownApp {
    explicit ShownApp(const DownloadManager::Options &options) : app(options)
    {
        app.show();
        QCoreApplication::processEvents();
        app.window().findChild<QListView *>(QStringLiteral("queue"))->viewport()->installEventFilter(&counter);
    }
    LarkApp app;
    PaintCounter counter;
};

struct Setup {
    explicit Setup(int historySize = 10000)
    {
        QDir(dir.path()).mkpath(QStringLiteral("storage"));
        QDir(dir.path()).mkpath(QStringLiteral("tools"));
        writeHistory(dir.filePath(QStringLiteral("storage/queue.json")), historySize);
        QFile script(dir.filePath(QStringLiteral("tools/yt-dlp")));
        script.open(QIODevice::WriteOnly);
        // Then it saves a file and says so, as yt-dlp does: a download without one is no success.
        script.write("#!/bin/sh\nyes 'LARK_PROGRESS| 42.0%|1.00MiB/s|00:01|2.00MiB' | head -n 50000\n"
                     "while [ \"$1\" != -P ]; do shift; done\ntouch \"$2/saved.mp4\"\n"
                     "echo \"LARK_FILE|\\\"$2/saved.mp4\\\"\"\n");
        script.close();
        script.setPermissions(script.permissions() | QFile::ExeOwner);
    }
    DownloadManager::Options options(QSettings &settings) const
    {
        // Downloads go to the benchmark's own folder, never the user's.
        settings.setValue(QStringLiteral("folder"), dir.filePath(QStringLiteral("downloads")));
        DownloadManager::Options options;
        options.storageDirectory = dir.filePath(QStringLiteral("storage"));
        options.settings = &settings;
        options.toolDirectory = dir.filePath(QStringLiteral("tools"));
        options.searchDirectories = QStringList{options.toolDirectory};
        return options;
    }
    QTemporaryDir dir;
};

void BM_StartUpWithHistory(benchmark::State &state)
{
    const int count = static_cast<int>(state.range(0));
    Setup setup(count);
    QSettings settings(setup.dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        LarkApp app(setup.options(settings));
        PaintCounter counter;
        auto *queue = app.window().findChild<QListView *>(QStringLiteral("queue"));
        queue->viewport()->installEventFilter(&counter);
        app.show();
        while (counter.paints == 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
        if (app.manager().count() != count)
            state.SkipWithError("the history did not load");
    }
}
BENCHMARK(BM_StartUpWithHistory)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

// One keystroke in the search field, and one section change, over 100,000 items.
void BM_FilterHistoryOf100000(benchmark::State &state)
{
    Setup setup(100000);
    QSettings settings(setup.dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    LarkApp app(setup.options(settings));
    app.show();
    QCoreApplication::processEvents();
    auto *search = app.window().findChildren<QLineEdit *>().first();
    auto *queue = app.window().findChild<QListView *>(QStringLiteral("queue"));
    int round = 0;
    for (auto _ : state) {
        search->setText(QString::number(round++ % 10));
        QCoreApplication::processEvents();
        app.window().content().setSection(QStringLiteral("Completed"));
        QCoreApplication::processEvents();
        app.window().content().setSection(QStringLiteral("All downloads"));
        search->clear();
        QCoreApplication::processEvents();
    }
    if (queue->model()->rowCount() != 100000)
        state.SkipWithError("the filter lost rows");
}
BENCHMARK(BM_FilterHistoryOf100000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_QueueRepaintsUnderLoad(benchmark::State &state)
{
    Setup setup;
    QSettings settings(setup.dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    double framesPerSecond = 0;
    qint64 longestStall = 0;
    for (auto _ : state) {
        ShownApp shown(setup.options(settings));
        LarkApp &app = shown.app;
        PaintCounter &counter = shown.counter;
        QElapsedTimer sinceTick;
        QTimer ticker;
        qint64 stall = 0;
        QObject::connect(&ticker, &QTimer::timeout, [&] { stall = std::max(stall, sinceTick.restart()); });
        DownloadManager &manager = app.manager();
        manager.setConcurrency(20);
        QString links;
        for (int i = 0; i < 20; ++i)
            links += QStringLiteral("https://example.com/v/%1 ").arg(i);
        QElapsedTimer timer;
        timer.start();
        sinceTick.start();
        ticker.start(1);
        manager.add(links); // the new items are at the top, in view
        while (manager.finished() < 10020)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        ticker.stop();
        framesPerSecond = counter.paints / seconds;
        longestStall = std::max(longestStall, stall);
        app.aboutToQuit();
        QFile::remove(setup.dir.filePath(QStringLiteral("storage/queue.json")));
        writeHistory(setup.dir.filePath(QStringLiteral("storage/queue.json")), 10000);
    }
    state.counters["frames_per_s"] = framesPerSecond;
    state.counters["longest_stall_ms"] = static_cast<double>(longestStall);
}
BENCHMARK(BM_QueueRepaintsUnderLoad)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// One download whose worker prints progress at a steady pace, with the
// window shown over a history of the given size: the CPU the application
// takes (every thread of it, the history writer's included) as a share of a
// core and per line, and the queue's repaints a second.
void BM_SteadyProgress(benchmark::State &state)
{
    const int historySize = static_cast<int>(state.range(0));
    const int linesPerSecond = static_cast<int>(state.range(1));
    constexpr int seconds = 4;
    Setup setup(historySize);
    QFile script(setup.dir.filePath(QStringLiteral("tools/yt-dlp")));
    script.open(QIODevice::WriteOnly);
    script.write(QStringLiteral("#!/usr/bin/python3\n"
                                "import sys, time\n"
                                "if '--version' in sys.argv: sys.exit(print('2099.01.01'))\n"
                                "rate, seconds, sent = %1, %2, 0\n"
                                "start = time.monotonic()\n"
                                "while time.monotonic() - start < seconds:\n"
                                "    due = int((time.monotonic() - start) * rate)\n"
                                "    lines = []\n"
                                "    while sent < due:\n"
                                "        lines.append('LARK_PROGRESS| %.1f%%|1.00MiB/s|00:01|2.00MiB\\n' % "
                                "(sent * 99.0 / (rate * seconds)))\n"
                                "        sent += 1\n"
                                "    sys.stdout.write(''.join(lines))\n"
                                "    sys.stdout.flush()\n"
                                "    time.sleep(0.002)\n"
                                "folder = sys.argv[sys.argv.index('-P') + 1]\n"
                                "open(folder + '/saved.mp4', 'w').close()\n"
                                "print('LARK_FILE|\"' + folder + '/saved.mp4\"', flush=True)\n")
                     .arg(linesPerSecond)
                     .arg(seconds)
                     .toUtf8());
    script.close();
    QSettings settings(setup.dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    double coreShare = 0;
    double msPerLine = 0;
    double paintsPerSecond = 0;
    for (auto _ : state) {
        ShownApp shown(setup.options(settings));
        LarkApp &app = shown.app;
        PaintCounter &counter = shown.counter;
        DownloadManager &manager = app.manager();
        const int finishedBefore = manager.finished();
        bool written = false;
        const auto connection =
            QObject::connect(&manager, &DownloadManager::historyWritten, [&written] { written = true; });
        manager.add(QStringLiteral("https://example.com/v/steady"));
        const QUuid id = manager.itemAt(0).id;
        const auto progress = [&] { return manager.item(id) ? manager.item(id)->progress : 100.0; };
        // The middle of the run only: adding the item, the write of the history
        // that follows and the item's end are not progress lines.
        while (progress() < 10 || !written)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QObject::disconnect(connection);
        const double firstPercent = progress();
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        counter.paints = 0;
        QElapsedTimer timer;
        timer.start();
        while (progress() < 85)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        const double wall = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        const double lines = (progress() - firstPercent) / 99 * linesPerSecond * seconds;
        const auto cpuOf = [](const rusage &usage) {
            return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        };
        const double cpu = cpuOf(after) - cpuOf(before);
        coreShare = cpu / wall;
        msPerLine = cpu * 1000 / lines;
        paintsPerSecond = counter.paints / wall;
        while (manager.finished() == finishedBefore)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        app.aboutToQuit();
        writeHistory(setup.dir.filePath(QStringLiteral("storage/queue.json")), historySize);
    }
    state.counters["core_share"] = coreShare;
    state.counters["cpu_ms_per_line"] = msPerLine;
    state.counters["paints_per_s"] = paintsPerSecond;
}
BENCHMARK(BM_SteadyProgress)
    ->Args({1000, 200})
    ->Args({100000, 200})
    ->Args({10000, 1000})
    ->Args({10000, 2000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks<QApplication>(argc, argv);
}
