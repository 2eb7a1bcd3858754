#pragma once

#include <QtGlobal>

#include <chrono>

namespace bench {

// Microseconds on the system-wide monotonic clock. Every process on the machine reads the
// same clock, so a stamp written by one load process can be compared by another.
inline qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace bench
