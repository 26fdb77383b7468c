#pragma once

#include <string>

// The per-user working directory (no trailing separator), created with its
// parent if missing. A directory that cannot be created shows up later, when
// a file in it cannot be opened. Empty only when neither LOCALAPPDATA nor the
// temporary path fits the 260-unit buffer: callers must then write nothing.
std::wstring GetInstallerDirectory();
