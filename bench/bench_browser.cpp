// Opening a large share end to end: the real lark-mega lists it from the
// emulator, the browser decodes it and builds the tree; then one filter change.
#include "app/browser/MegaFolderBrowserModel.h"
#include "bench/BenchMain.h"
#include "tests/support/MegaEmulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSet>
#include <QThreadPool>
#include <QTimer>

#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

MegaEmulator *emulator()
{
    static MegaEmulator instance;
    static const QString error = instance.start();
    return error.isEmpty() ? &instance : nullptr;
}

// The process's peak resident memory since the last reset, in MiB.
double peakResidentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

void resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// The processes this thread has started and not yet reaped.
QSet<QByteArray> children()
{
    QFile file(QStringLiteral("/proc/self/task/%1/children").arg(gettid()));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> ids = file.readAll().simplified().split(' ');
    return {ids.begin(), ids.end()};
}

// True while the process runs (a zombie has ended).
bool running(const QByteArray &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid)));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype after = text.lastIndexOf(')');
    return after >= 0 && text.mid(after + 2, 1) != "Z";
}

// A share of 1,000 folders under the root and the rest files, every third
// not a video: opened until its files are shown, then one filter change.
// after_listing_ms runs from the end of the tool, whose listing has then all
// come, to the files shown; tool_ms is the tool alone.
void BM_OpenShare(benchmark::State &state)
{
    if (!emulator())
        return state.SkipWithError("the MEGA emulator did not start");
    const auto files = static_cast<int>(state.range(0)) - 1001;
    const QString link = emulator()->addGeneratedShare(1000, files, 1048576)["link"].toString();
    // The tool alone, to tell how long the panel takes once the listing has come.
    QElapsedTimer toolTimer;
    QProcess tool;
    tool.setStandardOutputFile(QProcess::nullDevice());
    for (int run = 0; run < 2; ++run) { // the first lets the emulator serialise the listing
        toolTimer.start();
        tool.start(toolPath(), {QStringLiteral("--list-folder"), link});
        tool.waitForFinished(600000);
    }
    const double toolMs = static_cast<double>(toolTimer.nsecsElapsed()) / 1e6;
    double afterListingMs = 0;
    double filterMs = 0;
    double filterShownMs = 0;
    double peakMiB = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // What the last open left to free on worker threads is freed, and handed back, before the next is measured.
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        resetPeakResident();
        state.ResumeTiming();
        const QSet<QByteArray> before = children();
        QElapsedTimer opened;
        opened.start();
        MegaFolderBrowserModel model(link, toolPath());
        model.load();
        QSet<QByteArray> started = children() - before;
        const QByteArray toolID = started.isEmpty() ? QByteArray() : *started.begin();
        qint64 toolEndedNs = -1;
        // The tool's end is looked for every 10 ms.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (toolEndedNs < 0 && !running(toolID))
                toolEndedNs = opened.nsecsElapsed();
        });
        watch.start(10);
        // Open until its files are shown.
        while ((!model.tree() || model.visibleFiles().isEmpty()) && model.error().isEmpty())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!model.tree())
            return state.SkipWithError(qPrintable(model.error()));
        if (toolEndedNs < 0)
            toolEndedNs = opened.nsecsElapsed();
        state.PauseTiming();
        afterListingMs = std::max(afterListingMs, static_cast<double>(opened.nsecsElapsed() - toolEndedNs) / 1e6);
        peakMiB = std::max(peakMiB, peakResidentMiB());
        // How long the main thread is held by a change of filter, and how long until its files are shown.
        QElapsedTimer timer;
        timer.start();
        model.setVideosOnly(false);
        filterMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        while (model.visibleFiles().size() != files)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        filterShownMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        state.ResumeTiming();
    }
    state.counters["filter_change_ms"] = filterMs;
    state.counters["filter_shown_ms"] = filterShownMs;
    state.counters["peak_MiB"] = peakMiB;
    state.counters["tool_ms"] = toolMs;
    state.counters["after_listing_ms"] = afterListingMs;
}
BENCHMARK(BM_OpenShare)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime()->Arg(100000)->Arg(1000000);

} // namespace

int main(int argc, char **argv)
{
    return runBenchmarks<QCoreApplication>(argc, argv);
}
