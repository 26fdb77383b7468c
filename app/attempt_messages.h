#pragma once

#include "workflow/attempt.h"

// Private messages from an install attempt to the main window. Always posted,
// never sent, so the worker can never block on the window. Any program on the
// desktop can post them too: the window acts on a final message only when the
// attempt's own outcome says the same.
const UINT WM_APP_PROGRESS = WM_APP + 1; // wParam: percentage 0..100; lParam: 0 or the value below
// With 0 %: the download started again from its first byte and no length
// came with it, so nothing measures it any more.
const LPARAM kProgressUnmeasured = 1;
const UINT WM_APP_VERIFIED = WM_APP + 2; // the attempt holds a verified file
const UINT WM_APP_FAILED = WM_APP + 3;   // the attempt's failure says why

// The events of an attempt that window runs, as posts to it.
AttemptEvents WindowAttemptEvents(HWND window);
