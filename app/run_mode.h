#pragma once

enum class RunMode { Interactive, SelfTest, DownloadTest };

// Case-sensitive substring search of the raw command-line tail, self-test
// first, so it wins wherever both switches stand. Null means interactive.
RunMode SelectRunMode(const wchar_t* commandLine);
