#pragma once

#include "base/failure.h"
#include "base/file_io.h"
#include "base/progress_sink.h"
#include "transfer/proxy_route.h"

#include <atomic>

enum class AttemptOutcome { Running, Verified, Failed };

// What the worker tells whoever runs the attempt. Ended is the worker's last
// act (after it, the worker touches nothing of the attempt), so the owner may
// free the record once Ended has been heard and the thread has returned.
struct AttemptEvents {
    ProgressSink progress;
    void* owner = nullptr;
    void (*Ended)(void* owner, AttemptOutcome outcome) = nullptr;
};

// Everything one install attempt owns. Whoever runs the attempt owns the
// record (the window, or the headless mode on its stack) and hands it to the
// worker. events is set before the worker starts and only read after. The
// rest belongs to the worker while outcome reads Running; the outcome is
// stored with release order after everything else, so an owner that loads it
// with acquire order and finds the attempt ended sees the failure and the
// file as the worker left them. The file's handle also changes only under its
// guard, which AbandonAttempt takes.
struct Attempt {
    AttemptEvents events;
    HeldFile installer; // "KORVA-Setup-<version>.exe" in the working directory
    Failure failure = Failure::None;
    RouteMemory routes;
    std::atomic<AttemptOutcome> outcome{AttemptOutcome::Running};
};

// Stores the failure (for Failed) and the outcome, then tells the owner:
// the one way an attempt ends, for the worker and the window alike.
void EndAttempt(Attempt& attempt, AttemptOutcome outcome, Failure failure = Failure::None);

AttemptOutcome LoadOutcome(const Attempt& attempt);

// The process is about to end under a running attempt (the window closed):
// the worker is stopped where it stands and a file it created that is not
// verified is deleted, so no partial file outlives the attempt. A verified
// file stays, as does a file the attempt never created (another program's).
// Nothing of the attempt may run afterwards: the process must end next.
void AbandonAttempt(Attempt& attempt, HANDLE worker);
