#pragma once

#include <cstdlib>

// A whole number from the environment when it is one from lowest to highest;
// fallback otherwise. Tests shorten the tool's waits and limits this way.
inline long long environmentNumber(const char *name, long long lowest, long long highest, long long fallback)
{
    const char *text = std::getenv(name);
    const long long value = text ? std::strtoll(text, nullptr, 10) : 0;
    return value >= lowest && value <= highest ? value : fallback;
}
