#pragma once

#include <cstdlib>

// A broken rule aborts the run, which both libFuzzer and the replay report with the input.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}
