#include "app/manager/ChildProcess.h"

#include <QProcess>

#include <atomic>
#include <csignal>

#include <unistd.h>

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

void startWithDefaultSignals(QProcess &process, int outputDescriptor)
{
    // Runs in the child between fork and exec: async-signal-safe calls only.
    process.setChildProcessModifier([outputDescriptor] {
        if (outputDescriptor >= 0) {
            ::dup2(outputDescriptor, STDOUT_FILENO);
            ::dup2(outputDescriptor, STDERR_FILENO);
        }
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
