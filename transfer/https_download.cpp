#include "transfer/https_download.h"

#include "manifest/url_policy.h"
#include "transfer/https_request.h"
#include "transfer/proxy_route.h"
#include "transfer/redirect_target.h"

unsigned ProgressPercent(unsigned long long received, unsigned long long declared)
{
    if (declared == 0) {
        return 0;
    }
    const unsigned long long percent = received * 100 / declared;
    return percent > 100 ? 100u : static_cast<unsigned>(percent);
}

static std::wstring NoHeaders(void* /*target*/)
{
    return std::wstring();
}

static bool AcceptMemoryAnswer(void* /*target*/, HINTERNET request, DWORD status, BodyBounds& bounds, Failure& failure)
{
    if (status != 200) {
        failure = Failure::UnexpectedResponse;
        return false;
    }
    DWORD declared = 0;
    if (QueryNumberHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, declared)) {
        bounds.end = declared; // no Content-Length only switches progress off
        bounds.total = declared;
    }
    return true;
}

static bool StoreInMemory(void* target, const char* data, DWORD size)
{
    ByteBuffer& buffer = *static_cast<ByteBuffer*>(target);
    if (buffer.size() + size > kMaxMemoryBody) {
        return false;
    }
    buffer.insert(buffer.end(), data, data + size);
    return true;
}

static bool FinishMemory(void* /*target*/, BodyEnd end, const BodyBounds& /*bounds*/, Failure& failure)
{
    if (end == BodyEnd::Whole) {
        return true;
    }
    failure = end == BodyEnd::TooLong ? Failure::UnexpectedResponse : Failure::DownloadFailed;
    return false;
}

BodySink MemoryBodySink(ByteBuffer& buffer)
{
    return BodySink{&buffer, NoHeaders, AcceptMemoryAnswer, StoreInMemory, FinishMemory};
}

// Stores each chunk as it arrives, sized by what the service reports
// available; bytes past the end are never stored.
static BodyEnd ReceiveBody(HINTERNET handle, const Request& request, BodyBounds& bounds)
{
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(handle, &available)) {
            return BodyEnd::Short;
        }
        if (available == 0) {
            // An orderly close before the announced end reads as the end of
            // data: only the count tells a cut body from a whole one.
            return bounds.end == kNoEnd || bounds.received == bounds.end ? BodyEnd::Whole : BodyEnd::Short;
        }
        if (bounds.end != kNoEnd && bounds.received + available > bounds.end) {
            if (bounds.excessRefused) {
                return BodyEnd::TooLong; // more than the range asked for
            }
            available = static_cast<DWORD>(bounds.end - bounds.received);
            if (available == 0) {
                return BodyEnd::Whole;
            }
        }
        std::vector<char> chunk(available);
        DWORD read = 0;
        if (!WinHttpReadData(handle, chunk.data(), available, &read)) {
            return BodyEnd::Short;
        }
        const bool stored = request.body.Store(request.body.target, chunk.data(), read);
        bounds.received += read;
        if (bounds.total != 0) {
            ReportProgress(request.progress, ProgressPercent(bounds.received, bounds.total), true);
        }
        if (!stored) {
            return BodyEnd::NotStored;
        }
    }
}

static bool IsRedirectStatus(DWORD statusCode)
{
    return statusCode == 301 || statusCode == 302 || statusCode == 303 || statusCode == 307 || statusCode == 308;
}

// One request of one URL on its way through redirects and routes.
struct Hop {
    std::wstring url;
    ParsedUrl parsed;          // url, through the policy
    std::wstring proxy;        // the route: empty for the platform's own
    std::wstring location;     // filled by a redirect instead of a body
    DWORD noResponseError = 0; // why no status arrived, if it did not
};

// One GET through the hop's route. A redirect with a target is a success
// that fills location and touches no body.
static bool DownloadThrough(Request& request, Hop& hop, Failure& failure)
{
    HttpExchange exchange;
    const std::wstring headers = request.body.RequestHeaders(request.body.target);
    request.answered = SendGetRequest(hop.parsed, hop.proxy, headers, exchange, failure);
    hop.noResponseError = exchange.noResponseError;
    hop.location.clear();
    if (!request.answered) {
        return false;
    }
    HINTERNET handle = exchange.request.get();
    if (IsRedirectStatus(exchange.status)) {
        hop.location = QueryTextHeader(handle, WINHTTP_QUERY_LOCATION);
        if (!hop.location.empty()) {
            return true;
        }
        // a redirect without a target is an unexpected response
    }
    BodyBounds bounds;
    if (!request.body.Accept(request.body.target, handle, exchange.status, bounds, failure)) {
        return false;
    }
    if (bounds.restarted) {
        ReportProgress(request.progress, 0, bounds.total != 0);
    }
    const BodyEnd end = ReceiveBody(handle, request, bounds);
    return request.body.Finish(request.body.target, end, bounds, failure);
}

// The user hears of the direct route's failure, never of the proxy's: a
// request that goes this way got no HTTP response directly, which is the
// general failure, and a proxy's 407 or refusal reads the same. A file that
// another program holds is no route's failure and is told as such.
// Only a proxy that answered becomes the host's route for the rest of the
// attempt: one that is out of reach as well must not shut out a direct route
// that comes back while a download waits to resume.
static bool DownloadThroughProxy(Request& request, Hop& hop, Failure& failure)
{
    Failure proxyFailure = Failure::None;
    const bool done = DownloadThrough(request, hop, proxyFailure);
    if (!AnotherRouteMayCure(hop.noResponseError)) {
        RememberDirectRouteFailed(*request.routes, hop.parsed.host);
    }
    if (done) {
        return true;
    }
    failure = proxyFailure == Failure::FileInUse ? Failure::FileInUse : Failure::DownloadFailed;
    return false;
}

// One request of the hop's URL, direct or through the user's proxy.
static bool RequestOnce(Request& request, Hop& hop, Failure& failure)
{
    // Asked at most once per request: a PAC script or discovery can take seconds.
    const bool proxyAsked = DirectRouteFailed(*request.routes, hop.parsed.host);
    hop.proxy.clear();
    if (proxyAsked && FindUserProxyRoute(hop.url, hop.parsed.host, hop.proxy)) {
        return DownloadThroughProxy(request, hop, failure);
    }
    // A request without any HTTP response wrote nothing: no byte reached the
    // body and the file was not touched, so the second route starts clean.
    hop.proxy.clear();
    if (DownloadThrough(request, hop, failure)) {
        return true;
    }
    if (proxyAsked || !AnotherRouteMayCure(hop.noResponseError) ||
        !FindUserProxyRoute(hop.url, hop.parsed.host, hop.proxy)) {
        return false;
    }
    return DownloadThroughProxy(request, hop, failure);
}

bool HttpsDownload(Request& request, Failure& failure)
{
    request.answered = false;
    Hop hop;
    hop.url = request.url;
    for (unsigned redirects = 0;; ++redirects) {
        // Every hop meets the policy before anything connects to its host.
        if (!ValidateReleaseUrl(hop.url, hop.parsed, failure) || !RequestOnce(request, hop, failure)) {
            return false;
        }
        if (hop.location.empty()) {
            return true;
        }
        // From here on the server has answered: a target the policy refuses,
        // or one redirect too many, is no outage to wait out.
        if (redirects == kMaxRedirects) {
            failure = Failure::DownloadFailed;
            return false;
        }
        hop.url = ResolveRedirectTarget(hop.parsed, hop.location);
    }
}
