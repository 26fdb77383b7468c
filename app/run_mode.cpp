#include "app/run_mode.h"

#include <cwchar>

RunMode SelectRunMode(const wchar_t* commandLine)
{
    if (commandLine == nullptr) {
        return RunMode::Interactive;
    }
    if (std::wcsstr(commandLine, L"--self-test") != nullptr) {
        return RunMode::SelfTest;
    }
    if (std::wcsstr(commandLine, L"--download-test") != nullptr) {
        return RunMode::DownloadTest;
    }
    return RunMode::Interactive;
}
