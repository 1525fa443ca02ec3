#pragma once

#include <chrono>

// SIGINT is how the application pauses a download: the tool then keeps what
// it has fetched in order, saves its state and ends as the signal would have
// ended it.
void handleInterrupts();
bool interruptRequested();
[[noreturn]] void endInterrupted();

// Sleeps for up to duration; false when an interrupt cut the sleep short.
bool sleepUnlessInterrupted(std::chrono::milliseconds duration);

// Capped exponential back-off with jitter before try number failedTries + 1:
// about 0.25, 0.5, 1 ... 16 s, each somewhere from half to one and a half of
// that. The first comes soon: a dropped connection is most often just that,
// and the ranges after it wait for its data.
// LARK_MEGA_RETRY_MS sets the first wait (tests use a few milliseconds).
std::chrono::milliseconds retryDelay(int failedTries);

// How many times one request is tried before the run gives up.
inline constexpr int triesPerRequest = 8;
