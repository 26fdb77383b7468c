#include "workflow/attempt.h"

void EndAttempt(Attempt& attempt, AttemptOutcome outcome, Failure failure)
{
    if (outcome == AttemptOutcome::Failed) {
        attempt.failure = failure;
    }
    const AttemptEvents events = attempt.events; // the record may go once the outcome is out
    attempt.outcome.store(outcome, std::memory_order_release);
    if (events.Ended != nullptr) {
        events.Ended(events.owner, outcome);
    }
}

AttemptOutcome LoadOutcome(const Attempt& attempt)
{
    return attempt.outcome.load(std::memory_order_acquire);
}

void AbandonAttempt(Attempt& attempt, HANDLE worker)
{
    // Taken for good: the worker can no longer create, trade or delete the
    // file, and once suspended it cannot use the handle either. Suspension
    // is asynchronous; asking for the thread's context waits for it.
    AcquireSRWLockExclusive(&attempt.installer.guard);
    if (worker != nullptr) {
        if (SuspendThread(worker) == static_cast<DWORD>(-1)) {
            return; // a worker that may still run keeps its file
        }
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(worker, &context);
    }
    if (LoadOutcome(attempt) == AttemptOutcome::Verified || !attempt.installer.handle) {
        return;
    }
    attempt.installer.handle.reset();
    DeleteFileW(attempt.installer.path.c_str());
}
