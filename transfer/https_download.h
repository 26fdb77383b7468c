#pragma once

#include "manifest/url_policy.h"
#include "transfer/unique_handle.h"

#include <string>
#include <vector>

using ByteBuffer = std::vector<char>;

extern const wchar_t kDownloadFailedMessage[];
extern const wchar_t kFileInUseMessage[];

// A WinHTTP session with the installer's user agent and timeouts, routed by
// accessType (a named proxy needs proxyName); null on failure.
ScopedWinHttpCloseHandle OpenWinHttpSession(DWORD accessType, const wchar_t* proxyName);

// A manifest is a few hundred bytes; memory mode refuses anything past this so
// a hostile or broken server cannot exhaust memory.
const unsigned long kMaxMemoryBody = 1024 * 1024;

// A chain of redirects longer than this ends the download.
const unsigned kMaxRedirects = 10;

// One HTTPS GET of a URL that passes the release URL policy. With an empty
// outputPath the body is appended to buffer; otherwise it is written to that
// file, which is created or truncated only after a 200 answer. With
// reportProgress, WM_APP_PROGRESS is posted per chunk when the length is known.
// A request that got no HTTP response for a reason another route may cure is
// sent once more through the user's proxy (transfer/proxy_route.h).
// A 301, 302, 303, 307 or 308 with a Location is followed here, never by the
// platform: each target meets the policy before anything connects to it, and
// a refused one fails with the policy's message; past kMaxRedirects the
// download fails. A body shorter than its Content-Length is a failure, and
// nothing past that length is stored.
// On failure errorText is replaced by one user-facing message:
// kFileInUseMessage when another program holds the file, which is then left
// as it was.
// On success outputFile keeps the file open for writing, others allowed only
// to read it (CreateFileTruncated); on failure it is closed.
bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText, ScopedCloseHandle& outputFile);

// An installer download that may take several requests within one attempt.
// The file is created by the first 200 and stays open through file (others
// may only read it) until the caller takes the handle; a request while it is
// open asks for the rest with Range and appends through the same handle.
struct FileTransfer {
    std::wstring path;
    ScopedCloseHandle file;
    unsigned long long length = 0; // bytes the file holds
    bool totalKnown = false;       // the 200 that started the file declared its length
    unsigned long long total = 0;
    std::wstring validator; // that 200's strong ETag, else its Last-Modified; may be empty
    // Of the last request only:
    bool answered = false;    // an HTTP status arrived
    bool interrupted = false; // its body had begun and ended short of its length
};

// One GET for transfer, by the same routes and with the same messages as
// HttpsDownload: the whole file while transfer.file is null, else the bytes
// from transfer.length on. A 200 writes the file from its first byte again; a
// 206 must continue exactly at transfer.length with the same total, any other
// is an unexpected response. On failure the file stays open in transfer.
bool HttpsDownloadPart(const std::wstring& url, FileTransfer& transfer, bool reportProgress, std::wstring& errorText);

// The same, closing the file before it returns.
bool HttpsDownload(const std::wstring& url, ByteBuffer& buffer, const std::wstring& outputPath, bool reportProgress,
                   std::wstring& errorText);

// Plain decimal digits. Hand-rolled: std::to_wstring brings the C library's
// formatted printing, some 25 KB, into the static exe.
std::wstring DecimalText(unsigned long long value);

// The absolute URL that a redirect's Location names, relative ones resolved
// against current, the URL that answered; judged by the policy afterwards.
std::wstring ResolveRedirectTarget(const ParsedUrl& current, const std::wstring& location);

// Percentage posted after a chunk: 64-bit product, truncated, capped at 100.
unsigned ProgressPercent(unsigned long long received, unsigned long long declared);
