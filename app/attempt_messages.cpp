#include "app/attempt_messages.h"

static void PostProgress(void* window, unsigned percent, bool measured)
{
    PostMessageW(static_cast<HWND>(window), WM_APP_PROGRESS, percent, measured ? 0 : kProgressUnmeasured);
}

static void PostEnded(void* window, AttemptOutcome outcome)
{
    PostMessageW(static_cast<HWND>(window), outcome == AttemptOutcome::Verified ? WM_APP_VERIFIED : WM_APP_FAILED, 0,
                 0);
}

AttemptEvents WindowAttemptEvents(HWND window)
{
    AttemptEvents events;
    events.progress.owner = window;
    events.progress.Report = PostProgress;
    events.owner = window;
    events.Ended = PostEnded;
    return events;
}
