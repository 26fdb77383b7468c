#include "transfer/https_download.h"

#include "app/attempt_messages.h"
#include "manifest/url_policy.h"
#include "transfer/file_io.h"
#include "transfer/proxy_route.h"

static const wchar_t kUserAgent[] = L"KORVA Static Module Installer/1.0";
const wchar_t kDownloadFailedMessage[] =
    L"The download could not be completed. Check the internet connection and try again.";
const wchar_t kFileInUseMessage[] = L"The KORVA Setup file is in use by another program. Close it and try again.";
static const wchar_t kUnexpectedResponse[] = L"The KORVA server returned an unexpected response.";

ScopedWinHttpCloseHandle OpenWinHttpSession(DWORD accessType, const wchar_t* proxyName)
{
    ScopedWinHttpCloseHandle session(WinHttpOpen(kUserAgent, accessType, proxyName, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session) {
        WinHttpSetTimeouts(session.get(), 10000, 10000, 30000, 30000);
    }
    return session;
}

unsigned ProgressPercent(unsigned long long received, unsigned long long declared)
{
    if (declared == 0) {
        return 0;
    }
    const unsigned long long percent = received * 100 / declared;
    return percent > 100 ? 100u : static_cast<unsigned>(percent);
}

static bool QueryNumberHeader(HINTERNET request, DWORD infoLevel, DWORD& value)
{
    DWORD size = sizeof(value);
    return WinHttpQueryHeaders(request, infoLevel | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                               &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

static bool QueryTextHeader(HINTERNET request, DWORD infoLevel, std::wstring& value)
{
    DWORD size = 0;
    WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size < sizeof(wchar_t)) {
        return false;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1);
    if (!WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    value.assign(text.data(), size / sizeof(wchar_t));
    return true;
}

static bool IsRedirectStatus(DWORD statusCode)
{
    return statusCode == 301 || statusCode == 302 || statusCode == 303 || statusCode == 307 || statusCode == 308;
}

// Redirects are followed by HttpsDownload itself, so that every target meets
// the release URL policy before anything connects to it; and no credentials
// of the user's answer any challenge, a proxy's included.
static bool SetRequestPolicies(HINTERNET request)
{
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    DWORD autoLogon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    return WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects)) &&
           WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &autoLogon, sizeof(autoLogon));
}

// Connects and sends one GET; true once a status was obtained. statusCode
// stays 0 otherwise, and noResponseError then holds why, when sending or
// receiving failed.
static bool SendGetRequest(const ParsedUrl& parsed, HINTERNET session, ScopedWinHttpCloseHandle& connection,
                           ScopedWinHttpCloseHandle& request, DWORD& statusCode, DWORD& noResponseError)
{
    connection.reset(WinHttpConnect(session, parsed.host.c_str(), parsed.port, 0));
    if (!connection) {
        return false;
    }
    // Certificate validation stays the platform's: no flag weakens it.
    request.reset(WinHttpOpenRequest(connection.get(), L"GET", parsed.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request || !SetRequestPolicies(request.get())) {
        return false;
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        noResponseError = GetLastError();
        return false;
    }
    return QueryNumberHeader(request.get(), WINHTTP_QUERY_STATUS_CODE, statusCode);
}

// What a response announced of its body and how much of it was stored.
struct BodyCount {
    bool lengthKnown = false;
    unsigned long long declared = 0;
    unsigned long long received = 0;
};

// A connection closed in order before the announced length reads as a plain
// end of data, so only the count tells a cut body from a whole one.
static bool BodyIsWhole(const BodyCount& count)
{
    return !count.lengthKnown || count.received == count.declared;
}

// Stores each chunk as it arrives, sized by what the service reports
// available, and never past the announced length.
static bool ReceiveBody(HINTERNET request, HANDLE file, ByteBuffer& buffer, bool reportProgress, BodyCount& count)
{
    for (;;) {
        if (count.lengthKnown && count.received == count.declared) {
            return true;
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return false;
        }
        if (available == 0) {
            return true;
        }
        if (count.lengthKnown && available > count.declared - count.received) {
            available = static_cast<DWORD>(count.declared - count.received);
        }
        if (!file && count.received + available > kMaxMemoryBody) {
            return false;
        }
        std::vector<char> chunk(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, chunk.data(), available, &read)) {
            return false;
        }
        bool stored = true;
        if (file) {
            stored = WriteFileFully(file, chunk.data(), read);
        } else {
            buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + read);
        }
        count.received += read;
        if (reportProgress && count.declared != 0) {
            PostMessageW(g_mainWindow, WM_APP_PROGRESS, ProgressPercent(count.received, count.declared), 0);
        }
        if (!stored) {
            return false;
        }
    }
}

// One GET through one route: the platform's default (empty proxy) or the
// named proxy. Wine ignores WINHTTP_OPTION_PROXY and the automatic access
// type, so the route is chosen where every WinHTTP honours it: the session.
// A redirect with a target is a success that fills location and touches
// neither buffer nor file.
static bool DownloadThrough(const ParsedUrl& parsed, const std::wstring& proxy, ByteBuffer& buffer,
                            const std::wstring& outputPath, bool reportProgress, std::wstring& errorText,
                            ScopedCloseHandle& outputFile, std::wstring& location, DWORD& noResponseError)
{
    // No bypass list: whether this host bypasses the proxy was decided before.
    const ScopedWinHttpCloseHandle session =
        proxy.empty() ? OpenWinHttpSession(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME)
                      : OpenWinHttpSession(WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.c_str());
    if (!session) {
        errorText = L"Unable to initialize the secure download service.";
        return false;
    }
    ScopedWinHttpCloseHandle connection;
    ScopedWinHttpCloseHandle request;
    DWORD statusCode = 0;
    bool outcome = SendGetRequest(parsed, session.get(), connection, request, statusCode, noResponseError);
    if (outcome && IsRedirectStatus(statusCode) && QueryTextHeader(request.get(), WINHTTP_QUERY_LOCATION, location) &&
        !location.empty()) {
        return true;
    }
    location.clear(); // a redirect without a target is an unexpected response
    outcome = outcome && statusCode == 200;
    BodyCount count;
    DWORD declaredLength = 0;
    if (outcome && QueryNumberHeader(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, declaredLength)) {
        count.lengthKnown = true;
        count.declared = declaredLength;
    }
    // The file is touched only after a 200, so a refused request never
    // truncates an earlier download of the same name.
    ScopedCloseHandle file;
    if (outcome && !outputPath.empty()) {
        file = CreateFileTruncated(outputPath);
        if (!file && IsHeldByAnotherProgram(GetLastError())) {
            // Another attempt is writing or starting it, or it runs: not ours.
            errorText = kFileInUseMessage;
            return false;
        }
        outcome = static_cast<bool>(file);
    }
    outcome = outcome && ReceiveBody(request.get(), file.get(), buffer, reportProgress, count) && BodyIsWhole(count);
    if (!outcome) {
        errorText = (statusCode != 0 && statusCode != 200) ? kUnexpectedResponse : kDownloadFailedMessage;
        return false;
    }
    outputFile = std::move(file);
    return true;
}

// The user hears of the direct route's failure, never of the proxy's: a
// request that goes this way got no HTTP response directly, which is the
// general message, and a proxy's 407 or refusal reads the same. A file that
// another program holds is no route's failure and is told as such.
static bool DownloadThroughProxy(const ParsedUrl& parsed, const std::wstring& proxy, ByteBuffer& buffer,
                                 const std::wstring& outputPath, bool reportProgress, std::wstring& errorText,
                                 ScopedCloseHandle& outputFile, std::wstring& location)
{
    std::wstring proxyError;
    DWORD unused = 0;
    if (DownloadThrough(parsed, proxy, buffer, outputPath, reportProgress, proxyError, outputFile, location, unused)) {
        return true;
    }
    errorText = proxyError == kFileInUseMessage ? kFileInUseMessage : kDownloadFailedMessage;
    return false;
}

// One request of url (already through the policy as parsed), direct or
// through the user's proxy. A redirect fills location instead of a body.
static bool RequestOnce(const std::wstring& url, const ParsedUrl& parsed, ByteBuffer& buffer,
                        const std::wstring& outputPath, bool reportProgress, std::wstring& errorText,
                        ScopedCloseHandle& outputFile, std::wstring& location)
{
    std::wstring proxy;
    // Asked at most once per request: a PAC script or discovery can take seconds.
    const bool proxyAsked = DirectRouteFailedThisAttempt(parsed.host);
    if (proxyAsked && FindUserProxyRoute(url, parsed.host, proxy)) {
        return DownloadThroughProxy(parsed, proxy, buffer, outputPath, reportProgress, errorText, outputFile, location);
    }
    // A request without any HTTP response wrote nothing: no byte reached the
    // buffer and the file was not opened, so the second route starts clean.
    DWORD noResponseError = 0;
    if (DownloadThrough(parsed, std::wstring(), buffer, outputPath, reportProgress, errorText, outputFile, location,
                        noResponseError)) {
        return true;
    }
    if (proxyAsked || !AnotherRouteMayCure(noResponseError) || !FindUserProxyRoute(url, parsed.host, proxy)) {
        return false;
    }
    RememberDirectRouteFailed(parsed.host);
    return DownloadThroughProxy(parsed, proxy, buffer, outputPath, reportProgress, errorText, outputFile, location);
}

static bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

static bool IsAsciiLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

// "scheme:" as URLs spell a scheme: a letter, then letters, digits, "+", "-"
// or ".". Anything else before the first ":" makes a relative reference.
static bool HasScheme(const std::wstring& reference)
{
    const size_t colon = reference.find(L':');
    if (colon == std::wstring::npos || colon == 0 || !IsAsciiLetter(reference[0])) {
        return false;
    }
    for (size_t i = 1; i < colon; ++i) {
        const wchar_t c = reference[i];
        if (!IsAsciiLetter(c) && !(c >= L'0' && c <= L'9') && c != L'+' && c != L'-' && c != L'.') {
            return false;
        }
    }
    return true;
}

// Drops "." and ".." segments from the path part (before any "?" or "#");
// the result starts with "/".
static std::wstring RemoveDotSegments(const std::wstring& target)
{
    const size_t extra = target.find_first_of(L"?#");
    const size_t skip = StartsWith(target, L"/") ? 1 : 0;
    const std::wstring path = L"/" + target.substr(skip, extra == std::wstring::npos ? extra : extra - skip);
    std::vector<std::wstring> kept;
    size_t start = 1;
    for (;;) {
        const size_t slash = path.find(L'/', start);
        const std::wstring segment = path.substr(start, slash == std::wstring::npos ? slash : slash - start);
        const bool last = slash == std::wstring::npos;
        if (segment == L"..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
        } else if (segment != L".") {
            kept.push_back(segment);
        }
        if (last) {
            if (segment == L"." || segment == L"..") {
                kept.push_back(std::wstring()); // "/a/.." names the folder "/"
            }
            break;
        }
        start = slash + 1;
    }
    std::wstring cleaned;
    for (const std::wstring& segment : kept) {
        cleaned += L"/" + segment;
    }
    return (cleaned.empty() ? L"/" : cleaned) + (extra == std::wstring::npos ? L"" : target.substr(extra));
}

std::wstring ResolveRedirectTarget(const ParsedUrl& current, const std::wstring& location)
{
    if (HasScheme(location)) {
        return location;
    }
    if (StartsWith(location, L"//")) {
        return L"https:" + location;
    }
    std::wstring origin = L"https://" + current.host;
    if (current.port != INTERNET_DEFAULT_HTTPS_PORT) {
        origin += L":" + std::to_wstring(current.port);
    }
    const std::wstring path = current.path.substr(0, current.path.find_first_of(L"?#"));
    if (StartsWith(location, L"/")) {
        return origin + RemoveDotSegments(location);
    }
    if (StartsWith(location, L"?") || StartsWith(location, L"#")) {
        return origin + path + location;
    }
    return origin + RemoveDotSegments(path.substr(0, path.rfind(L'/') + 1) + location);
}

bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText, ScopedCloseHandle& outputFile)
{
    std::wstring current = url;
    for (unsigned redirects = 0;; ++redirects) {
        // Every hop meets the policy before anything connects to its host.
        ParsedUrl parsed;
        if (!ValidateReleaseUrl(current, parsed, errorText)) {
            return false;
        }
        std::wstring location;
        if (!RequestOnce(current, parsed, buffer, outputPath, reportProgress, errorText, outputFile, location)) {
            return false;
        }
        if (location.empty()) {
            return true;
        }
        if (redirects == kMaxRedirects) {
            errorText = kDownloadFailedMessage;
            return false;
        }
        current = ResolveRedirectTarget(parsed, location);
    }
}

bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText)
{
    ScopedCloseHandle outputFile;
    return HttpsDownload(url, buffer, outputPath, reportProgress, errorText, outputFile);
}
