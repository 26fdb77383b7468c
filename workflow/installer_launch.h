#pragma once

#include "workflow/attempt.h"

// Starts the verified file that attempt holds ("open", no arguments, never
// waited for), in its own folder, then lets the file go and logs it. The
// file started is the held one: its name is read from the handle, and it is
// started only from inside the working directory and only while that name
// still leads to the held file; a folder moved or re-pointed since the check
// starts nothing. owner is the window that the platform's own dialogs (an
// elevation prompt, say) belong to. False with LaunchFailed otherwise.
bool StartVerifiedInstaller(Attempt& attempt, HWND owner, Failure& failure);
