#pragma once

#include "base/failure.h"
#include "base/progress_sink.h"
#include "transfer/body_sink.h"
#include "transfer/proxy_route.h"

#include <string>
#include <vector>

using ByteBuffer = std::vector<char>;

// A manifest is a few hundred bytes; the memory sink refuses anything past
// this so a hostile or broken server cannot exhaust memory.
const unsigned long kMaxMemoryBody = 1024 * 1024;

// A chain of redirects longer than this ends the download.
const unsigned kMaxRedirects = 10;

// One download: what is asked for, where its body goes, who hears of its
// progress (nobody when Report is null), and the attempt's route memory.
struct Request {
    std::wstring url;
    BodySink body;
    ProgressSink progress;
    RouteMemory* routes = nullptr;
    bool answered = false; // of the last hop: an HTTP status arrived
};

// The body sink that appends to buffer, up to kMaxMemoryBody; only a 200 is
// taken.
BodySink MemoryBodySink(ByteBuffer& buffer);

// One HTTPS GET of a URL that passes the release URL policy, into the
// request's body sink, with a progress report per chunk when a length is
// known. A request that got no HTTP response for a reason another route may
// cure is sent once more through the user's proxy (transfer/proxy_route.h).
// A 301, 302, 303, 307 or 308 with a Location is followed here, never by the
// platform: each target meets the policy before anything connects to it, and
// a refused one fails with the policy's failure; past kMaxRedirects the
// download fails. A body shorter than its Content-Length is a failure, and
// nothing past that length is stored. On failure, failure says why: FileInUse
// when another program holds the file, which is then left as it was.
bool HttpsDownload(Request& request, Failure& failure);

// Percentage reported after a chunk: 64-bit product, truncated, capped at 100.
unsigned ProgressPercent(unsigned long long received, unsigned long long declared);
