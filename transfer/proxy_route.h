#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The second route of a request: where the direct route got no HTTP response
// at all, the proxy that the current user's Internet settings name for the
// URL. Offices, schools and security software often leave no other way out.
// Nothing here is configured by the program; the settings are the user's own
// and are read only after a direct route has failed.

// Within one attempt, a host whose direct route failed sends its later
// requests straight to the second route: a direct route that drops packets
// then costs one connect timeout per attempt, not one per request. Each
// attempt holds its own, so each ("Try again" included) starts direct again.
struct RouteMemory {
    std::vector<std::wstring> directFailedHosts; // ASCII-folded
};
bool DirectRouteFailed(const RouteMemory& routes, const std::wstring& host);
void RememberDirectRouteFailed(RouteMemory& routes, const std::wstring& host);

// True for the WinHTTP errors of a request that another route may cure: name
// not resolved, cannot connect, timeout, connection reset or closed without an
// answer. Never for TLS or certificate failures: a refused certificate stays a
// refusal.
bool AnotherRouteMayCure(DWORD winHttpError);

// The one proxy ("host:port") that the user's settings name for url, whose
// host is host. False when there is none: no settings, an auto-config script
// that answers DIRECT, a host on the bypass list, or nothing naming a proxy.
bool FindUserProxyRoute(const std::wstring& url, const std::wstring& host, std::wstring& proxy);

// The proxy an https request uses from a WinHTTP proxy list such as
// "http=a:80;https=b:8080" or "a:8080; b:8080": the https entry, else the
// first entry without a scheme; empty when there is none.
std::wstring ProxyForHttps(const std::wstring& proxyList);

// Whether host is on a bypass list ("korva.com;*.example.net;<local>"):
// entries compared without regard to ASCII case, "*" standing for any run of
// characters, "<local>" for host names without a dot.
bool ProxyBypassMatches(const std::wstring& bypassList, const std::wstring& host);
