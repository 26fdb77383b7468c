#include "transfer/https_request.h"

static const wchar_t kUserAgent[] = L"KORVA Static Module Installer/1.0";

// Resolving and connecting get 10 s each: a route that drops packets costs
// that before the user's proxy is tried. Sending and each receive get 30 s:
// a slow link still moves a chunk in that time, and a server that stalls
// longer is taken as gone, which resumption then asks again.
static const int kResolveTimeoutMs = 10000;
static const int kConnectTimeoutMs = 10000;
static const int kSendTimeoutMs = 30000;
static const int kReceiveTimeoutMs = 30000;

ScopedWinHttpCloseHandle OpenWinHttpSession(DWORD accessType, const wchar_t* proxyName)
{
    ScopedWinHttpCloseHandle session(WinHttpOpen(kUserAgent, accessType, proxyName, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session) {
        WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    }
    return session;
}

bool QueryNumberHeader(HINTERNET request, DWORD infoLevel, DWORD& value)
{
    DWORD size = sizeof(value);
    return WinHttpQueryHeaders(request, infoLevel | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                               &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

std::wstring QueryTextHeader(HINTERNET request, DWORD infoLevel)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return std::wstring();
    }
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::wstring();
    }
    text.resize(size / sizeof(wchar_t));
    return text;
}

// Redirects are followed by the route loop itself, so that every target meets
// the release URL policy before anything connects to it; and no credentials
// of the user's answer any challenge, a proxy's included.
static bool SetRequestPolicies(HINTERNET request)
{
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD autoLogon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    return WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects)) &&
           WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &autoLogon, sizeof(autoLogon));
}

// Wine ignores WINHTTP_OPTION_PROXY and the automatic access type, so the
// route is chosen where every WinHTTP honours it: the session. No bypass
// list: whether this host bypasses the proxy was decided before.
static ScopedWinHttpCloseHandle OpenRouteSession(const std::wstring& proxy)
{
    return proxy.empty() ? OpenWinHttpSession(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME)
                         : OpenWinHttpSession(WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str());
}

// Connects and sends; false when no status arrived.
static bool Exchange(const ParsedUrl& parsed, const std::wstring& extraHeaders, HttpExchange& exchange)
{
    exchange.connection.reset(WinHttpConnect(exchange.session.get(), parsed.host.c_str(), parsed.port, 0));
    if (!exchange.connection) {
        return false;
    }
    // Certificate validation stays the platform's: no flag weakens it.
    exchange.request.reset(WinHttpOpenRequest(exchange.connection.get(), L"GET", parsed.path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!exchange.request || !SetRequestPolicies(exchange.request.get())) {
        return false;
    }
    HINTERNET request = exchange.request.get();
    const wchar_t* headers = extraHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : extraHeaders.c_str();
    const DWORD headersLength = extraHeaders.empty() ? 0 : static_cast<DWORD>(-1);
    if (!WinHttpSendRequest(request, headers, headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        exchange.noResponseError = GetLastError();
        return false;
    }
    return QueryNumberHeader(request, WINHTTP_QUERY_STATUS_CODE, exchange.status);
}

bool SendGetRequest(const ParsedUrl& parsed, const std::wstring& proxy, const std::wstring& extraHeaders,
                    HttpExchange& exchange, Failure& failure)
{
    exchange.session = OpenRouteSession(proxy);
    if (!exchange.session) {
        failure = Failure::ServiceUnavailable;
        return false;
    }
    if (!Exchange(parsed, extraHeaders, exchange)) {
        exchange.status = 0;
        failure = Failure::DownloadFailed;
        return false;
    }
    return true;
}
