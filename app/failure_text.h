#pragma once

#include "base/failure.h"

// The one place where a failure becomes words: the text the window shows and
// the installer log records after "Installation attempt failed: ".
const wchar_t* FailureText(Failure failure);
