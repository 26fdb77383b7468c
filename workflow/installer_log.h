#pragma once

#include <windows.h>

#include <string>

// Appends "Y-M-D h:m:s text" plus CR LF to KORVA.Installer.log in the working
// directory. Never reports a failure: a line that cannot be written is dropped.
void WriteLogLine(const std::wstring& text);

// The line as it is written, without the line end; exposed for its format.
std::string FormatLogLine(const SYSTEMTIME& time, const std::wstring& text);
