#include "transfer/proxy_route.h"

#include "manifest/release_manifest.h"
#include "base/scoped_winhttp.h"
#include "transfer/https_request.h"

#include <algorithm>
#include <vector>

bool DirectRouteFailed(const RouteMemory& routes, const std::wstring& host)
{
    const std::wstring folded = FoldAsciiCase(host);
    return std::find(routes.directFailedHosts.begin(), routes.directFailedHosts.end(), folded) !=
           routes.directFailedHosts.end();
}

void RememberDirectRouteFailed(RouteMemory& routes, const std::wstring& host)
{
    if (!DirectRouteFailed(routes, host)) {
        routes.directFailedHosts.push_back(FoldAsciiCase(host));
    }
}

bool AnotherRouteMayCure(DWORD winHttpError)
{
    switch (winHttpError) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    // A connection closed before any status line arrived, as interception
    // boxes do that let only the proxy through; also what does not parse as
    // HTTP at all. Either way no HTTP answer came.
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return true;
    default:
        return false;
    }
}

static std::vector<std::wstring> SplitList(const std::wstring& list, const wchar_t* separators)
{
    std::vector<std::wstring> items;
    size_t start = list.find_first_not_of(separators);
    while (start != std::wstring::npos) {
        const size_t end = list.find_first_of(separators, start);
        items.push_back(list.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        start = end == std::wstring::npos ? end : list.find_first_not_of(separators, end);
    }
    return items;
}

std::wstring ProxyForHttps(const std::wstring& proxyList)
{
    std::wstring generic;
    for (const std::wstring& entry : SplitList(proxyList, L"; \t\r\n")) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (generic.empty()) {
                generic = entry;
            }
        } else if (FoldAsciiCase(entry.substr(0, equals)) == L"https" && equals + 1 < entry.size()) {
            return entry.substr(equals + 1);
        }
    }
    return generic;
}

static bool WildcardMatches(const wchar_t* pattern, const wchar_t* text)
{
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*text != 0) {
        if (*pattern == L'*') {
            star = pattern++;
            resume = text;
        } else if (*pattern == *text) {
            ++pattern;
            ++text;
        } else if (star != nullptr) {
            pattern = star + 1;
            text = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') {
        ++pattern;
    }
    return *pattern == 0;
}

// "https://korva.com:443" names the host korva.com: scheme and port go.
static std::wstring BypassEntryHost(std::wstring entry)
{
    const size_t scheme = entry.find(L"://");
    if (scheme != std::wstring::npos) {
        entry.erase(0, scheme + 3);
    }
    const size_t colon = entry.rfind(L':');
    if (colon != std::wstring::npos && colon + 1 < entry.size() &&
        entry.find_first_not_of(L"0123456789", colon + 1) == std::wstring::npos) {
        entry.erase(colon);
    }
    return FoldAsciiCase(entry);
}

bool ProxyBypassMatches(const std::wstring& bypassList, const std::wstring& host)
{
    const std::wstring folded = FoldAsciiCase(host);
    for (const std::wstring& entry : SplitList(bypassList, L";, \t\r\n")) {
        if (FoldAsciiCase(entry) == L"<local>") {
            if (folded.find(L'.') == std::wstring::npos) {
                return true;
            }
        } else if (WildcardMatches(BypassEntryHost(entry).c_str(), folded.c_str())) {
            return true;
        }
    }
    return false;
}

struct UserProxySettings {
    bool autoDetect = false;
    ScopedGlobalFreeString autoConfigUrl;
    ScopedGlobalFreeString proxy;
    ScopedGlobalFreeString bypass;
};

static std::wstring Text(const ScopedGlobalFreeString& text)
{
    return text ? std::wstring(text.get()) : std::wstring();
}

static bool HasText(const ScopedGlobalFreeString& text)
{
    return text && text.get()[0] != L'\0';
}

static bool ReadUserProxySettings(UserProxySettings& settings)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        return false;
    }
    settings.autoDetect = config.fAutoDetect != FALSE;
    settings.autoConfigUrl.reset(config.lpszAutoConfigUrl);
    settings.proxy.reset(config.lpszProxy);
    settings.bypass.reset(config.lpszProxyBypass);
    return true;
}

enum class ScriptAnswer { Proxy, Direct, Failed };

// Runs the auto-config script (the one the settings name, else the one that
// discovery finds) for url.
static ScriptAnswer AskAutoConfigScript(const std::wstring& url, const UserProxySettings& settings, std::wstring& proxy)
{
    const ScopedWinHttpCloseHandle session = OpenWinHttpSession(WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME);
    if (!session) {
        return ScriptAnswer::Failed;
    }
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (HasText(settings.autoConfigUrl)) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.autoConfigUrl.get();
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = FALSE; // no credentials of the user's go anywhere
    WINHTTP_PROXY_INFO info = {};
    if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
        return ScriptAnswer::Failed;
    }
    const ScopedGlobalFreeString found(info.lpszProxy);
    const ScopedGlobalFreeString bypass(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        return ScriptAnswer::Direct;
    }
    proxy = ProxyForHttps(Text(found));
    return proxy.empty() ? ScriptAnswer::Direct : ScriptAnswer::Proxy;
}

bool FindUserProxyRoute(const std::wstring& url, const std::wstring& host, std::wstring& proxy)
{
    UserProxySettings settings;
    if (!ReadUserProxySettings(settings)) {
        return false;
    }
    if (settings.autoDetect || HasText(settings.autoConfigUrl)) {
        switch (AskAutoConfigScript(url, settings, proxy)) {
        case ScriptAnswer::Proxy:
            return true;
        case ScriptAnswer::Direct:
            return false;
        case ScriptAnswer::Failed:
            break; // a script that cannot be fetched or run leaves the static proxy
        }
    }
    if (ProxyBypassMatches(Text(settings.bypass), host)) {
        return false;
    }
    proxy = ProxyForHttps(Text(settings.proxy));
    return !proxy.empty();
}
