#pragma once

// Where a long step reports how far it is. The layers below the window know
// nothing of windows or messages; whoever runs an attempt decides what a
// report becomes (a posted message, or nothing in the headless mode).
struct ProgressSink {
    void* owner = nullptr;
    // percent 0..100; measured false: started again from 0 with no length,
    // so nothing measures it any more.
    void (*Report)(void* owner, unsigned percent, bool measured) = nullptr;
};

inline void ReportProgress(const ProgressSink& sink, unsigned percent, bool measured)
{
    if (sink.Report != nullptr) {
        sink.Report(sink.owner, percent, measured);
    }
}
