#pragma once

#include <windows.h>

#include <string>

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
bool ReadBytes(const std::wstring& path, std::string& bytes);
bool PathExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// Pseudo-random but fixed content: byte i is i % 251.
std::string PatternBytes(size_t size);

// For doctest messages: wide strings shown as UTF-8.
std::string Narrow(const std::wstring& text);

#include "doctest.h"

namespace doctest {
template <> struct StringMaker<std::wstring> {
    static String convert(const std::wstring& value) { return ("L\"" + Narrow(value) + "\"").c_str(); }
};
} // namespace doctest
