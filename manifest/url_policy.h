#pragma once

#include <windows.h>

#include <winhttp.h>

#include "base/failure.h"

#include <string>

// The official domain, lower case. Only it and its "www." form are fetched.
extern const wchar_t* const kOfficialDomain;
extern const wchar_t* const kOfficialWwwDomain;

struct ParsedUrl {
    std::wstring host; // as written in the URL, case kept
    std::wstring path; // path plus query/fragment, never empty once filled
    INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
};

bool IsOfficialHost(const std::wstring& host);

// True when url is HTTPS on the official domain; fills parsed. On failure
// failure says which rule refused it, and parsed must not be used.
bool ValidateReleaseUrl(const std::wstring& url, ParsedUrl& parsed, Failure& failure);
