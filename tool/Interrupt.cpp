#include "tool/Interrupt.h"

#include "tool/Environment.h"

#include <QRandomGenerator>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

volatile std::sig_atomic_t interrupted = 0;

void noteInterrupt(int)
{
    interrupted = 1;
}

std::chrono::milliseconds firstRetryDelay()
{
    static const std::chrono::milliseconds delay(environmentNumber("LARK_MEGA_RETRY_MS", 1, 60000, 250));
    return delay;
}

} // namespace

void handleInterrupts()
{
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool interruptRequested()
{
    return interrupted != 0;
}

void endInterrupted()
{
    std::fflush(stdout);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    std::raise(SIGINT);
    std::_Exit(130);
}

bool sleepUnlessInterrupted(std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!interruptRequested()) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return false;
}

std::chrono::milliseconds retryDelay(int failedTries)
{
    const auto base = firstRetryDelay() * (1LL << std::clamp(failedTries - 1, 0, 6));
    const double spread = 0.5 + QRandomGenerator::global()->generateDouble();
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(base.count()) * spread));
}
