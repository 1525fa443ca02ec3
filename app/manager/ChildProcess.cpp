#include "app/manager/ChildProcess.h"

#include <QProcess>

#include <csignal>

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
