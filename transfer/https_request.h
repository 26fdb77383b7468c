#pragma once

#include "base/scoped_winhttp.h"
#include "manifest/url_policy.h"

#include <string>

// A WinHTTP session with the installer's user agent and timeouts, routed by
// accessType (a named proxy needs proxyName); null on failure.
ScopedWinHttpCloseHandle OpenWinHttpSession(DWORD accessType, const wchar_t* proxyName);

// One GET on the wire. Declared in the order they are opened, so they close
// in reverse order whichever way the request ends.
struct HttpExchange {
    ScopedWinHttpCloseHandle session;
    ScopedWinHttpCloseHandle connection;
    ScopedWinHttpCloseHandle request;
    DWORD status = 0;          // 0 until a status line arrived
    DWORD noResponseError = 0; // why none arrived, when sending or receiving failed
};

// Sends one GET of parsed with extraHeaders (empty for none), through proxy
// ("host:port"; empty for the platform's own route). True once a status
// arrived. False with ServiceUnavailable when no session could be opened,
// else with DownloadFailed.
bool SendGetRequest(const ParsedUrl& parsed, const std::wstring& proxy, const std::wstring& extraHeaders,
                    HttpExchange& exchange, Failure& failure);

bool QueryNumberHeader(HINTERNET request, DWORD infoLevel, DWORD& value);

// A header's text, or empty when the response has none.
std::wstring QueryTextHeader(HINTERNET request, DWORD infoLevel);
