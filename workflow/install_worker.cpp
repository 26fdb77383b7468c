#include "workflow/install_worker.h"

#include "app/attempt_messages.h"
#include "manifest/manifest_grammar.h"
#include "manifest/release_keys.h"
#include "manifest/release_manifest.h"
#include "manifest/url_policy.h"
#include "transfer/file_io.h"
#include "transfer/https_download.h"
#include "transfer/proxy_route.h"
#include "transfer/publisher_pins.h"
#include "transfer/sha256_file.h"
#include "workflow/installer_directory.h"
#include "workflow/installer_log.h"
#include "workflow/resumed_download.h"

const wchar_t* const kManifestUrl = L"https://korva.com/updates/korva-suite-update.txt";

static const wchar_t kMismatch[] =
    L"The downloaded installer did not match the official SHA-256 value. It will not be executed.";
static const wchar_t kNotSignedByPublisher[] = L"The downloaded installer is not signed by the publisher.";

struct ReleaseEntries {
    std::wstring version;
    std::wstring installerUrl;
    std::wstring expectedDigest;
};

bool IsSafeVersionForFileName(const std::wstring& version)
{
    return manifest_grammar::IsSafeVersionForFileName(version);
}

// The version becomes part of a file name, so beyond the three required
// entries it must be a plain name fragment that stays inside the directory.
static bool ReadReleaseEntries(const ReleaseManifest& manifest, ReleaseEntries& entries)
{
    const auto version = manifest.find(L"version");
    const auto url = manifest.find(L"installerurl");
    const auto digest = manifest.find(L"installersha256");
    if (version == manifest.end() || url == manifest.end() || digest == manifest.end() || version->second.empty() ||
        url->second.empty() || digest->second.size() != 64 || !IsSafeVersionForFileName(version->second)) {
        return false;
    }
    entries = {version->second, url->second, digest->second};
    return true;
}

static DWORD FailAttempt(const std::wstring& errorText)
{
    PostAttemptFailed(errorText);
    return 1;
}

static DWORD FailVerification(const wchar_t* logLine, const std::wstring& errorText)
{
    g_installerLock.reset(); // a held lock would make the deletion fail
    DeleteFileW(g_installerPath.c_str());
    WriteLogLine(logLine);
    PostAttemptFailed(errorText);
    return 1;
}

static DWORD FailVerification(const std::wstring& errorText)
{
    return FailVerification(L"Installer SHA-256 verification failed.", errorText.empty() ? kMismatch : errorText);
}

static bool DigestsMatch(const std::wstring& expected, const std::wstring& actual)
{
    return FoldAsciiCase(TrimWhitespace(expected)) == FoldAsciiCase(TrimWhitespace(actual));
}

DWORD WINAPI InstallWorker(LPVOID /*parameter*/)
{
    std::wstring errorText;
    BeginNetworkAttempt();
    WriteLogLine(L"Checking the KORVA release manifest.");
    PostMessageW(g_mainWindow, WM_APP_PROGRESS, 0, 0);

    ByteBuffer manifestBytes;
    if (!HttpsDownload(kManifestUrl, manifestBytes, std::wstring(), false, errorText)) {
        return FailAttempt(errorText);
    }
    const ReleaseManifest manifest = ParseReleaseManifest(Utf8ToWide(manifestBytes.data(), manifestBytes.size()));
    ReleaseEntries entries;
    if (!ReadReleaseEntries(manifest, entries)) {
        return FailAttempt(kIncompleteManifestMessage);
    }
    // A keyed build decides here, before any URL of the manifest is used.
    if (!CheckReleaseSignature(manifest, errorText)) {
        return FailAttempt(errorText);
    }
    ParsedUrl parsed;
    if (!ValidateReleaseUrl(entries.installerUrl, parsed, errorText)) {
        return FailAttempt(errorText);
    }
    const std::wstring directory = GetInstallerDirectory();
    if (directory.empty()) {
        // Nowhere safe to write: the same outcome as a file that cannot be opened.
        return FailAttempt(kDownloadFailedMessage);
    }
    g_installerPath = directory + L"\\KORVA-Setup-" + entries.version + L".exe";
    WriteLogLine(L"Downloading KORVA " + entries.version + L".");

    ScopedCloseHandle written;
    if (!DownloadInstallerResuming(entries.installerUrl, g_installerPath, errorText, written)) {
        // A file that another program holds is another attempt's, or that
        // KORVA Setup running: left alone. Otherwise this also removes a file
        // of this name that a finished attempt left when the download failed
        // before opening it; one that a running attempt holds cannot be
        // deleted, as none of its handles lets others delete.
        if (errorText != kFileInUseMessage) {
            DeleteFileW(g_installerPath.c_str());
        }
        return FailAttempt(errorText);
    }
    // Locked before hashing: what is hashed is then what the window starts.
    DWORD lockError = ERROR_SUCCESS;
    g_installerLock = TradeForReadLock(std::move(written), g_installerPath, lockError);
    if (!g_installerLock) {
        return IsHeldByAnotherProgram(lockError) ? FailAttempt(kFileInUseMessage)
                                                 : FailVerification(kVerifyFailedMessage);
    }
    std::wstring actualDigest;
    if (!Sha256FileHex(g_installerLock.get(), actualDigest, errorText) ||
        !DigestsMatch(entries.expectedDigest, actualDigest)) {
        return FailVerification(errorText);
    }
    // A pinned build also wants the publisher's own signature on the same
    // held file; an unpinned one passes at once.
    if (!CheckInstallerPublisher(g_installerLock.get(), g_installerPath)) {
        return FailVerification(L"Installer signature verification failed.", kNotSignedByPublisher);
    }
    WriteLogLine(L"Installer verified successfully.");
    PostAttemptVerified();
    return 0;
}
