#include "transfer/ranged_file.h"

#include "base/decimal_text.h"
#include "transfer/https_request.h"

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
static bool StartFile(HINTERNET request, FileTransfer& transfer, bool& restarted, Failure& failure)
{
    HeldFile& file = *transfer.file;
    restarted = static_cast<bool>(file.handle);
    if (!restarted && !CreateHeldFile(file)) {
        // Another attempt is writing or starting it, or it runs: not ours.
        failure = IsHeldByAnotherProgram(GetLastError()) ? Failure::FileInUse : Failure::DownloadFailed;
        return false;
    }
    if (restarted && (SetFilePointer(file.handle.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
                      !SetEndOfFile(file.handle.get()))) {
        failure = Failure::DownloadFailed;
        return false;
    }
    DWORD declared = 0;
    transfer.length = 0;
    transfer.totalKnown = QueryNumberHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, declared);
    transfer.total = declared;
    transfer.validator = RangeValidator(request);
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
    if (!transfer.file->handle ||
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

static std::wstring FileRequestHeaders(void* target)
{
    const FileTransfer& transfer = *static_cast<FileTransfer*>(target);
    return transfer.file->handle ? RangeHeaders(transfer) : std::wstring();
}

// The file is touched only after an accepted answer, so a refused request
// never truncates an earlier download of the same name. Bytes past a 206's
// range are a wrong answer; past a 200's length, unread.
static bool AcceptFileAnswer(void* target, HINTERNET request, DWORD status, BodyBounds& bounds, Failure& failure)
{
    FileTransfer& transfer = *static_cast<FileTransfer*>(target);
    if (status == 200) {
        if (!StartFile(request, transfer, bounds.restarted, failure)) {
            return false;
        }
        bounds.end = transfer.totalKnown ? transfer.total : kNoEnd;
    } else if (status != 206 || !ContinueFile(request, transfer, bounds.end)) {
        failure = Failure::UnexpectedResponse;
        return false;
    }
    bounds.received = transfer.length;
    bounds.total = transfer.totalKnown ? transfer.total : 0;
    bounds.excessRefused = status == 206;
    return true;
}

static bool StoreInFile(void* target, const char* data, DWORD size)
{
    const FileTransfer& transfer = *static_cast<FileTransfer*>(target);
    return WriteFileFully(transfer.file->handle.get(), data, size);
}

static bool FinishFile(void* target, BodyEnd end, const BodyBounds& bounds, Failure& failure)
{
    FileTransfer& transfer = *static_cast<FileTransfer*>(target);
    transfer.length = bounds.received;
    // A range that ends short of the total leaves the rest to ask for.
    const bool rangeShort =
        end == BodyEnd::Whole && bounds.excessRefused && transfer.totalKnown && transfer.length < transfer.total;
    transfer.interrupted = end == BodyEnd::Short || rangeShort;
    if (end == BodyEnd::Whole && !rangeShort) {
        return true;
    }
    failure = end == BodyEnd::TooLong ? Failure::UnexpectedResponse : Failure::DownloadFailed;
    return false;
}

BodySink FileBodySink(FileTransfer& transfer)
{
    return BodySink{&transfer, FileRequestHeaders, AcceptFileAnswer, StoreInFile, FinishFile};
}
