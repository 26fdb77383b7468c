#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A fresh, empty folder under the sandbox's Wine temp path, removed with its
// contents when the object goes out of scope.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::wstring path;
};

// Sets (or with null, removes) an environment variable for the scope.
struct ScopedEnvironmentVariable {
    ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value);
    ~ScopedEnvironmentVariable();
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;
    std::wstring name;
    std::wstring saved;
    bool hadValue = false;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes);
// A read-only open that lets anyone else do anything meanwhile; null on failure.
HANDLE OpenForReading(const std::wstring& path);
bool ReadBytes(const std::wstring& path, std::string& bytes);
bool PathExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// Pseudo-random but fixed content: byte i is i % 251.
std::string PatternBytes(size_t size);

// For doctest messages: wide strings shown as UTF-8.
std::string Narrow(const std::wstring& text);

#include "doctest.h"

namespace doctest
{
template <> struct StringMaker<std::wstring> {
    static String convert(const std::wstring& value) { return ("L\"" + Narrow(value) + "\"").c_str(); }
};
} // namespace doctest

// A Linux path from the sandbox's environment (such as the served release
// tree) as Wine sees it through drive Z:.
std::wstring SandboxPath(const wchar_t* variable);

// Every message posted to this thread's queue so far, oldest first. Posts to
// a null window land here, as they do in the headless mode.
struct PostedMessage {
    UINT message;
    WPARAM wParam;
};
std::vector<PostedMessage> DrainThreadMessages();

// Runs a command line to its end; its exit code, or -1 when it cannot start.
int RunProcess(const std::wstring& commandLine);
