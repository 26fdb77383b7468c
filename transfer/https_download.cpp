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

std::wstring DecimalText(unsigned long long value)
{
    wchar_t digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::wstring text;
    while (count > 0) {
        text.push_back(digits[--count]);
    }
    return text;
}

static bool QueryNumberHeader(HINTERNET request, DWORD infoLevel, DWORD& value)
{
    DWORD size = sizeof(value);
    return WinHttpQueryHeaders(request, infoLevel | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                               &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
}

// A header's text, or empty when the response has none.
static std::wstring QueryTextHeader(HINTERNET request, DWORD infoLevel)
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

// Connects and sends one GET with extraHeaders (empty for none); statusCode
// stays 0 when no status was obtained, and noResponseError then holds why,
// when sending or receiving failed.
static bool SendGetRequest(const ParsedUrl& parsed, HINTERNET session, const std::wstring& extraHeaders,
                           ScopedWinHttpCloseHandle& connection, ScopedWinHttpCloseHandle& request, DWORD& statusCode,
                           DWORD& noResponseError)
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
    const wchar_t* headers = extraHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : extraHeaders.c_str();
    const DWORD headersLength = extraHeaders.empty() ? 0 : static_cast<DWORD>(-1);
    if (!WinHttpSendRequest(request.get(), headers, headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        noResponseError = GetLastError();
        return false;
    }
    return QueryNumberHeader(request.get(), WINHTTP_QUERY_STATUS_CODE, statusCode);
}

static const unsigned long long kNoEnd = ~0ull;

enum class BodyEnd { Whole, Short, TooLong, NotStored };

// Where one body starts and stops, and what its progress is measured against.
struct BodyBounds {
    unsigned long long received; // counts on from where the file already stands
    unsigned long long end;      // kNoEnd when nothing says
    unsigned long long total;    // 0: no progress posted
    bool excessRefused;          // bytes past end are a wrong answer, not just left unread
};

// Stores each chunk as it arrives, sized by what the service reports
// available; bytes past the end are never written.
static BodyEnd ReceiveBody(HINTERNET request, HANDLE file, ByteBuffer& buffer, BodyBounds& bounds, bool reportProgress)
{
    unsigned long long& received = bounds.received;
    const unsigned long long end = bounds.end;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return BodyEnd::Short;
        }
        if (available == 0) {
            // An orderly close before the announced end reads as the end of
            // data: only the count tells a cut body from a whole one.
            return end == kNoEnd || received == end ? BodyEnd::Whole : BodyEnd::Short;
        }
        if (end != kNoEnd && received + available > end) {
            if (bounds.excessRefused) {
                return BodyEnd::TooLong; // more than the range asked for
            }
            available = static_cast<DWORD>(end - received);
            if (available == 0) {
                return BodyEnd::Whole;
            }
        }
        if (!file && received + available > kMaxMemoryBody) {
            return BodyEnd::NotStored;
        }
        std::vector<char> chunk(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, chunk.data(), available, &read)) {
            return BodyEnd::Short;
        }
        bool stored = true;
        if (file) {
            stored = WriteFileFully(file, chunk.data(), read);
        } else {
            buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + read);
        }
        received += read;
        if (reportProgress && bounds.total != 0) {
            PostMessageW(g_mainWindow, WM_APP_PROGRESS, ProgressPercent(received, bounds.total), 0);
        }
        if (!stored) {
            return BodyEnd::NotStored;
        }
    }
}

// "Range" for the bytes after what the file holds, and "If-Range" so that a
// file changed on the server comes whole (200) instead of spliced on.
static std::wstring RangeHeaders(const FileTransfer& transfer)
{
    std::wstring headers = L"Range: bytes=" + DecimalText(transfer.length) + L"-\r\n";
    if (!transfer.validator.empty()) {
        headers += L"If-Range: " + transfer.validator + L"\r\n";
    }
    return headers;
}

// A weak ETag may not make a range conditional; a date can.
static std::wstring RangeValidator(HINTERNET request)
{
    std::wstring etag = QueryTextHeader(request, WINHTTP_QUERY_ETAG);
    if (!etag.empty() && etag.compare(0, 2, L"W/") != 0) {
        return etag;
    }
    return QueryTextHeader(request, WINHTTP_QUERY_LAST_MODIFIED);
}

// The file from its first byte: created on the first 200, emptied through the
// same handle on a later one (the server ignored the range or has another
// file), so the file never mixes two bodies.
static bool StartFile(HINTERNET request, FileTransfer& transfer, bool reportProgress, std::wstring& errorText)
{
    bool restarted = false;
    if (!transfer.file) {
        transfer.file = CreateFileTruncated(transfer.path);
        if (!transfer.file) {
            // Another attempt is writing or starting it, or it runs: not ours.
            errorText = IsHeldByAnotherProgram(GetLastError()) ? kFileInUseMessage : kDownloadFailedMessage;
            return false;
        }
    } else {
        if (SetFilePointer(transfer.file.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
            !SetEndOfFile(transfer.file.get())) {
            errorText = kDownloadFailedMessage;
            return false;
        }
        restarted = true;
    }
    DWORD declared = 0;
    transfer.length = 0;
    transfer.totalKnown = QueryNumberHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, declared);
    transfer.total = declared;
    transfer.validator = RangeValidator(request);
    if (restarted && reportProgress) {
        PostMessageW(g_mainWindow, WM_APP_PROGRESS, 0, transfer.totalKnown ? 0 : kProgressUnmeasured);
    }
    return true;
}

// Digits only, at most 18 of them: no sign, space or overflow slips through.
static bool ParseCount(const std::wstring& text, size_t& at, unsigned long long& value)
{
    const size_t first = at;
    value = 0;
    while (at < text.size() && at - first < 18 && text[at] >= L'0' && text[at] <= L'9') {
        value = value * 10 + static_cast<unsigned>(text[at++] - L'0');
    }
    return at > first;
}

static bool SkipSeparator(const std::wstring& text, size_t& at, wchar_t separator)
{
    if (at >= text.size() || text[at] != separator) {
        return false;
    }
    ++at;
    return true;
}

// "bytes N-E/T" or "bytes N-E/*"; false for anything else, a multipart
// answer (no Content-Range at all) among them.
static bool ParseContentRange(const std::wstring& text, unsigned long long& first, unsigned long long& last,
                              bool& totalKnown, unsigned long long& total)
{
    size_t at = 6;
    if (text.compare(0, at, L"bytes ") != 0 || !ParseCount(text, at, first) || !SkipSeparator(text, at, L'-') ||
        !ParseCount(text, at, last) || !SkipSeparator(text, at, L'/') || last < first) {
        return false;
    }
    totalKnown = text.compare(at, std::wstring::npos, L"*") != 0;
    return !totalKnown || (ParseCount(text, at, total) && at == text.size() && last < total);
}

// A 206 goes on only where the file stands, towards the same total, with no
// more bytes than the range; end is where its body stops. Where the first
// answer gave no length, the first total a range names becomes the file's,
// so a range that stops short of it is an interruption, not the whole file.
static bool ContinueFile(HINTERNET request, FileTransfer& transfer, unsigned long long& end)
{
    unsigned long long first = 0;
    unsigned long long last = 0;
    unsigned long long total = 0;
    bool totalKnown = false;
    if (!transfer.file ||
        !ParseContentRange(QueryTextHeader(request, WINHTTP_QUERY_CONTENT_RANGE), first, last, totalKnown, total) ||
        first != transfer.length || (transfer.totalKnown && (!totalKnown || total != transfer.total))) {
        return false;
    }
    DWORD declared = 0;
    if (QueryNumberHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, declared) && declared != last - first + 1) {
        return false;
    }
    end = last + 1;
    if (!transfer.totalKnown && totalKnown) {
        transfer.totalKnown = true;
        transfer.total = total;
    }
    return true;
}

// Takes a response for the file: where its body goes and where it ends.
static bool TakeFileResponse(HINTERNET request, DWORD statusCode, FileTransfer& transfer, bool reportProgress,
                             unsigned long long& end, std::wstring& errorText)
{
    if (statusCode == 200) {
        if (!StartFile(request, transfer, reportProgress, errorText)) {
            return false;
        }
        end = transfer.totalKnown ? transfer.total : kNoEnd;
        return true;
    }
    if (statusCode == 206 && ContinueFile(request, transfer, end)) {
        return true;
    }
    errorText = kUnexpectedResponse;
    return false;
}

// The body of an accepted response, into the caller's buffer or the file.
// Bytes past a 206's range are a wrong answer; past a 200's length, unread.
static bool StoreBody(HINTERNET request, DWORD statusCode, ByteBuffer& buffer, FileTransfer* transfer,
                      unsigned long long end, bool reportProgress, std::wstring& errorText)
{
    BodyBounds bounds = {0, end, end == kNoEnd ? 0 : end, statusCode == 206};
    if (transfer) {
        bounds.received = transfer->length;
        bounds.total = transfer->totalKnown ? transfer->total : 0;
    }
    const BodyEnd bodyEnd =
        ReceiveBody(request, transfer ? transfer->file.get() : nullptr, buffer, bounds, reportProgress);
    if (transfer) {
        transfer->length = bounds.received;
        // A range that ends short of the total leaves the rest to ask for.
        const bool rangeShort = bodyEnd == BodyEnd::Whole && statusCode == 206 && transfer->totalKnown &&
                                transfer->length < transfer->total;
        transfer->interrupted = bodyEnd == BodyEnd::Short || rangeShort;
        if (rangeShort) {
            errorText = kDownloadFailedMessage;
            return false;
        }
    }
    if (bodyEnd == BodyEnd::Whole) {
        return true;
    }
    errorText = bodyEnd == BodyEnd::TooLong ? kUnexpectedResponse : kDownloadFailedMessage;
    return false;
}

// One GET through one route: the platform's default (empty proxy) or the
// named proxy. Wine ignores WINHTTP_OPTION_PROXY and the automatic access
// type, so the route is chosen where every WinHTTP honours it: the session.
// Without transfer the body goes to buffer. A redirect with a target is a
// success that fills location and touches neither buffer nor file.
static bool DownloadThrough(const ParsedUrl& parsed, const std::wstring& proxy, ByteBuffer& buffer,
                            FileTransfer* transfer, bool reportProgress, std::wstring& errorText,
                            std::wstring& location, DWORD& noResponseError)
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
    const std::wstring headers = transfer && transfer->file ? RangeHeaders(*transfer) : std::wstring();
    const bool responded =
        SendGetRequest(parsed, session.get(), headers, connection, request, statusCode, noResponseError);
    if (transfer) {
        // Of this hop: a hop after a redirect may get no response at all.
        transfer->answered = responded;
    }
    if (!responded) {
        errorText = kDownloadFailedMessage;
        return false;
    }
    if (IsRedirectStatus(statusCode) && !QueryTextHeader(request.get(), WINHTTP_QUERY_LOCATION).empty()) {
        location = QueryTextHeader(request.get(), WINHTTP_QUERY_LOCATION);
        return true; // touches neither buffer nor file
    }
    location.clear(); // a redirect without a target is an unexpected response
    // The file is touched only after an accepted answer, so a refused request
    // never truncates an earlier download of the same name.
    unsigned long long end = kNoEnd;
    if (transfer) {
        if (!TakeFileResponse(request.get(), statusCode, *transfer, reportProgress, end, errorText)) {
            return false;
        }
    } else if (statusCode != 200) {
        errorText = kUnexpectedResponse;
        return false;
    } else {
        DWORD declared = 0;
        if (QueryNumberHeader(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, declared)) {
            end = declared; // no Content-Length only switches progress off
        }
    }
    return StoreBody(request.get(), statusCode, buffer, transfer, end, reportProgress, errorText);
}

// The user hears of the direct route's failure, never of the proxy's: a
// request that goes this way got no HTTP response directly, which is the
// general message, and a proxy's 407 or refusal reads the same. A file that
// another program holds is no route's failure and is told as such.
// Only a proxy that answered becomes the host's route for the rest of the
// attempt: one that is out of reach as well must not shut out a direct route
// that comes back while a download waits to resume.
static bool DownloadThroughProxy(const ParsedUrl& parsed, const std::wstring& proxy, ByteBuffer& buffer,
                                 FileTransfer* transfer, bool reportProgress, std::wstring& errorText,
                                 std::wstring& location)
{
    std::wstring proxyError;
    DWORD noResponseError = 0;
    const bool done =
        DownloadThrough(parsed, proxy, buffer, transfer, reportProgress, proxyError, location, noResponseError);
    if (!AnotherRouteMayCure(noResponseError)) {
        RememberDirectRouteFailed(parsed.host);
    }
    if (done) {
        return true;
    }
    errorText = proxyError == kFileInUseMessage ? kFileInUseMessage : kDownloadFailedMessage;
    return false;
}

// One request of url (already through the policy as parsed), direct or
// through the user's proxy. A redirect fills location instead of a body.
static bool RequestOnce(const std::wstring& url, const ParsedUrl& parsed, ByteBuffer& buffer, FileTransfer* transfer,
                        bool reportProgress, std::wstring& errorText, std::wstring& location)
{
    std::wstring proxy;
    // Asked at most once per request: a PAC script or discovery can take seconds.
    const bool proxyAsked = DirectRouteFailedThisAttempt(parsed.host);
    if (proxyAsked && FindUserProxyRoute(url, parsed.host, proxy)) {
        return DownloadThroughProxy(parsed, proxy, buffer, transfer, reportProgress, errorText, location);
    }
    // A request without any HTTP response wrote nothing: no byte reached the
    // buffer and the file was not touched, so the second route starts clean.
    DWORD noResponseError = 0;
    if (DownloadThrough(parsed, std::wstring(), buffer, transfer, reportProgress, errorText, location,
                        noResponseError)) {
        return true;
    }
    if (proxyAsked || !AnotherRouteMayCure(noResponseError) || !FindUserProxyRoute(url, parsed.host, proxy)) {
        return false;
    }
    return DownloadThroughProxy(parsed, proxy, buffer, transfer, reportProgress, errorText, location);
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
        origin += L":" + DecimalText(current.port);
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

static bool Download(const std::wstring& url, ByteBuffer& buffer, FileTransfer* transfer, bool reportProgress,
                     std::wstring& errorText)
{
    if (transfer) {
        transfer->answered = false;
        transfer->interrupted = false;
    }
    std::wstring current = url;
    for (unsigned redirects = 0;; ++redirects) {
        // Every hop meets the policy before anything connects to its host.
        ParsedUrl parsed;
        if (!ValidateReleaseUrl(current, parsed, errorText)) {
            return false;
        }
        std::wstring location;
        if (!RequestOnce(current, parsed, buffer, transfer, reportProgress, errorText, location)) {
            return false;
        }
        if (location.empty()) {
            return true;
        }
        // From here on the server has answered: a target the policy refuses,
        // or one redirect too many, is no outage to wait out.
        if (redirects == kMaxRedirects) {
            errorText = kDownloadFailedMessage;
            return false;
        }
        current = ResolveRedirectTarget(parsed, location);
    }
}

bool HttpsDownloadPart(const std::wstring& url, FileTransfer& transfer, bool reportProgress, std::wstring& errorText)
{
    ByteBuffer unused;
    return Download(url, unused, &transfer, reportProgress, errorText);
}

bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText, ScopedCloseHandle& outputFile)
{
    if (outputPath.empty()) {
        return Download(url, buffer, nullptr, reportProgress, errorText);
    }
    FileTransfer transfer;
    transfer.path = outputPath;
    if (!Download(url, buffer, &transfer, reportProgress, errorText)) {
        return false;
    }
    outputFile = std::move(transfer.file);
    return true;
}

bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText)
{
    ScopedCloseHandle outputFile;
    return HttpsDownload(url, buffer, outputPath, reportProgress, errorText, outputFile);
}
