#pragma once

#include <windows.h>

// Mean seconds per call of check over iterations calls, by the performance
// counter; -1 when a call fails, as a broken check must not pass for a fast one.
template <typename Check> double SecondsPerCall(long iterations, Check check)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (long i = 0; i < iterations; ++i) {
        if (!check()) {
            return -1;
        }
    }
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) /
           static_cast<double>(iterations);
}
