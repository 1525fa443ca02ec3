#include "app/manager/ChildProcess.h"

#include <QProcess>

#include <atomic>
#include <csignal>

namespace {

std::atomic<int> ending{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

} // namespace

void noteEndingSignal(int signal)
{
    ending.store(signal, std::memory_order_relaxed);
}

int endingSignal()
{
    return ending.load(std::memory_order_relaxed);
}

void startWithDefaultSignals(QProcess &process)
{
    // Runs in the child between fork and exec: async-signal-safe calls only.
    process.setChildProcessModifier([] {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigemptyset(&defaults.sa_mask);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            ::sigaction(signal, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
    });
}
