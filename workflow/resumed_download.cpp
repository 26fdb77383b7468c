#include "workflow/resumed_download.h"

#include "transfer/https_download.h"
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

// One resumption: the rest is asked for after 1 s, and while no HTTP response
// comes (the network is gone for a moment) again after 2 s and after 4 s.
static bool RequestRest(const std::wstring& url, FileTransfer& transfer, std::wstring& errorText)
{
    static const DWORD kWaitsBefore[] = {1000, 2000, 4000};
    for (DWORD wait : kWaitsBefore) {
        Sleep(wait);
        if (HttpsDownloadPart(url, transfer, true, errorText)) {
            return true;
        }
        if (transfer.answered) {
            return false;
        }
    }
    return false;
}

bool DownloadInstallerResuming(const std::wstring& url, const std::wstring& path, std::wstring& errorText,
                               ScopedCloseHandle& file)
{
    FileTransfer transfer;
    transfer.path = path;
    bool whole = HttpsDownloadPart(url, transfer, true, errorText);
    unsigned long long reached = transfer.length;
    // A server that drops after every few bytes still gets somewhere each
    // time; the count bounds it whatever it does.
    for (int resumptions = 0; !whole && transfer.interrupted && resumptions < kMaxResumptions; ++resumptions) {
        LogInterruption(transfer);
        whole = RequestRest(url, transfer, errorText);
        if (!whole && transfer.answered && transfer.length <= reached) {
            break; // nothing beyond earlier tries: this try's own failure stands
        }
        reached = transfer.length > reached ? transfer.length : reached;
    }
    if (!whole) {
        return false;
    }
    file = std::move(transfer.file);
    return true;
}
