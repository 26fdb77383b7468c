#pragma once

#include <windows.h>

#include "base/failure.h"

#include <string>

// The one place where a failure becomes words: the string table
// (resources/lang/*.rc), keyed by the failure's kind. The window shows the
// text in the user's language; the installer log records the English one
// after "Installation attempt failed: ", whatever the language.
std::wstring FailureTextIn(LANGID language, Failure failure);

// English.
std::wstring FailureText(Failure failure);
