#pragma once

#include <windows.h>

#include "base/failure.h"

#include <string>

// SHA-256 of the whole file behind file, read from its start whatever the
// handle's position, as 64 lower-case hex digits. Taken through the handle
// that holds the file, so what is hashed is what that handle keeps; a new
// open by path could meet another file of the same name. On failure, failure
// says whether CNG or the file failed, and digestHex is left alone.
bool Sha256FileHex(HANDLE file, std::wstring& digestHex, Failure& failure);
