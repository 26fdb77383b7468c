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

// Connects and sends one GET; statusCode stays 0 when no status was obtained,
// and noResponseError then holds why, when sending or receiving failed.
static bool SendGetRequest(const ParsedUrl& parsed, HINTERNET session, ScopedWinHttpCloseHandle& connection,
                           ScopedWinHttpCloseHandle& request, DWORD& statusCode, DWORD& noResponseError)
{
    connection.reset(WinHttpConnect(session, parsed.host.c_str(), parsed.port, 0));
    if (!connection) {
        return false;
    }
    // No option is set on any handle: certificate validation and redirect
    // policy stay the platform's, which refuses an https-to-http redirect.
    request.reset(WinHttpOpenRequest(connection.get(), L"GET", parsed.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    if (!request) {
        return false;
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        noResponseError = GetLastError();
        return false;
    }
    return QueryNumberHeader(request.get(), WINHTTP_QUERY_STATUS_CODE, statusCode) && statusCode == 200;
}

// Stores each chunk as it arrives, sized by what the service reports available.
static bool ReceiveBody(HINTERNET request, HANDLE file, ByteBuffer& buffer, DWORD declaredLength, bool reportProgress)
{
    unsigned long long received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return false;
        }
        if (available == 0) {
            return true;
        }
        if (!file && received + available > kMaxMemoryBody) {
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
        received += read;
        if (reportProgress && declaredLength != 0) {
            PostMessageW(g_mainWindow, WM_APP_PROGRESS, ProgressPercent(received, declaredLength), 0);
        }
        if (!stored) {
            return false;
        }
    }
}

// One GET through one route: the platform's default (empty proxy) or the
// named proxy. Wine ignores WINHTTP_OPTION_PROXY and the automatic access
// type, so the route is chosen where every WinHTTP honours it: the session.
static bool DownloadThrough(const ParsedUrl& parsed, const std::wstring& proxy, ByteBuffer& buffer,
                            const std::wstring& outputPath, bool reportProgress, std::wstring& errorText,
                            ScopedCloseHandle& outputFile, DWORD& noResponseError)
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
    DWORD declaredLength = 0;
    if (outcome && !QueryNumberHeader(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, declaredLength)) {
        declaredLength = 0; // no Content-Length only switches progress off
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
    outcome = outcome && ReceiveBody(request.get(), file.get(), buffer, declaredLength, reportProgress);
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
                                 ScopedCloseHandle& outputFile)
{
    std::wstring proxyError;
    DWORD unused = 0;
    if (DownloadThrough(parsed, proxy, buffer, outputPath, reportProgress, proxyError, outputFile, unused)) {
        return true;
    }
    errorText = proxyError == kFileInUseMessage ? kFileInUseMessage : kDownloadFailedMessage;
    return false;
}

bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText, ScopedCloseHandle& outputFile)
{
    ParsedUrl parsed;
    if (!ValidateReleaseUrl(url, parsed, errorText)) {
        return false;
    }
    std::wstring proxy;
    // Asked at most once per request: a PAC script or discovery can take seconds.
    const bool proxyAsked = DirectRouteFailedThisAttempt(parsed.host);
    if (proxyAsked && FindUserProxyRoute(url, parsed.host, proxy)) {
        return DownloadThroughProxy(parsed, proxy, buffer, outputPath, reportProgress, errorText, outputFile);
    }
    // A request without any HTTP response wrote nothing: no byte reached the
    // buffer and the file was not opened, so the second route starts clean.
    DWORD noResponseError = 0;
    if (DownloadThrough(parsed, std::wstring(), buffer, outputPath, reportProgress, errorText, outputFile,
                        noResponseError)) {
        return true;
    }
    if (proxyAsked || !AnotherRouteMayCure(noResponseError) || !FindUserProxyRoute(url, parsed.host, proxy)) {
        return false;
    }
    RememberDirectRouteFailed(parsed.host);
    return DownloadThroughProxy(parsed, proxy, buffer, outputPath, reportProgress, errorText, outputFile);
}

bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText)
{
    ScopedCloseHandle outputFile;
    return HttpsDownload(url, buffer, outputPath, reportProgress, errorText, outputFile);
}
