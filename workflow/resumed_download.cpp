#include "workflow/resumed_download.h"

#include "base/decimal_text.h"
#include "transfer/ranged_file.h"
#include "workflow/installer_log.h"

static const int kMaxResumptions = 20;

static void LogInterruption(const FileTransfer& transfer)
{
    std::wstring line = L"Download interrupted after " + DecimalText(transfer.length);
    if (transfer.totalKnown) {
        line += L" of " + DecimalText(transfer.total);
    }
    WriteLogLine(line + L" bytes; resuming.");
}

static bool RequestPart(Request& request, FileTransfer& transfer, Failure& failure)
{
    transfer.interrupted = false;
    return HttpsDownload(request, failure);
}

// One resumption: the rest is asked for after 1 s, and while no HTTP response
// comes (the network is gone for a moment) again after 2 s and after 4 s.
static bool RequestRest(Request& request, FileTransfer& transfer, Failure& failure)
{
    static const DWORD kWaitsBefore[] = {1000, 2000, 4000};
    for (DWORD wait : kWaitsBefore) {
        Sleep(wait);
        if (RequestPart(request, transfer, failure)) {
            return true;
        }
        if (request.answered) {
            return false;
        }
    }
    return false;
}

bool DownloadInstallerResuming(Attempt& attempt, const std::wstring& url, Failure& failure)
{
    FileTransfer transfer;
    transfer.file = &attempt.installer;
    Request request;
    request.url = url;
    request.body = FileBodySink(transfer);
    request.progress = attempt.events.progress;
    request.routes = &attempt.routes;
    bool whole = RequestPart(request, transfer, failure);
    unsigned long long reached = transfer.length;
    // A server that drops after every few bytes still gets somewhere each
    // time; the count bounds it whatever it does.
    for (int resumptions = 0; !whole && transfer.interrupted && resumptions < kMaxResumptions; ++resumptions) {
        LogInterruption(transfer);
        whole = RequestRest(request, transfer, failure);
        if (!whole && request.answered && transfer.length <= reached) {
            break; // nothing beyond earlier tries: this try's own failure stands
        }
        reached = transfer.length > reached ? transfer.length : reached;
    }
    return whole;
}
