#include "workflow/install_worker.h"

#include "manifest/manifest_grammar.h"
#include "manifest/release_keys.h"
#include "manifest/release_manifest.h"
#include "manifest/url_policy.h"
#include "transfer/https_download.h"
#include "transfer/sha256_file.h"
#include "workflow/installer_directory.h"
#include "workflow/installer_log.h"
#include "workflow/resumed_download.h"

const wchar_t* const kManifestUrl = L"https://korva.com/updates/korva-suite-update.txt";

struct ReleaseEntries {
    std::wstring version;
    std::wstring installerUrl;
    std::wstring expectedDigest;
};

// The version becomes part of a file name, so beyond the three required
// entries it must be a plain name fragment that stays inside the directory.
static bool ReadReleaseEntries(const ReleaseManifest& manifest, ReleaseEntries& entries)
{
    const auto version = manifest.find(L"version");
    const auto url = manifest.find(L"installerurl");
    const auto digest = manifest.find(L"installersha256");
    if (version == manifest.end() || url == manifest.end() || digest == manifest.end() || version->second.empty() ||
        url->second.empty() || digest->second.size() != 64 ||
        !manifest_grammar::IsSafeVersionForFileName(version->second)) {
        return false;
    }
    entries = {version->second, url->second, digest->second};
    return true;
}

static bool DigestsMatch(const std::wstring& expected, const std::wstring& actual)
{
    return FoldAsciiCase(TrimWhitespace(expected)) == FoldAsciiCase(TrimWhitespace(actual));
}

// The manifest, whole and strictly decoded, its three entries, the keyed
// build's signature check (before any URL of it is used) and the policy.
static bool FetchRelease(Attempt& attempt, ReleaseEntries& entries, Failure& failure)
{
    ByteBuffer bytes;
    Request request;
    request.url = kManifestUrl;
    request.body = MemoryBodySink(bytes);
    request.routes = &attempt.routes;
    if (!HttpsDownload(request, failure)) {
        return false;
    }
    const ReleaseManifest manifest = ParseReleaseManifest(Utf8ToWide(bytes.data(), bytes.size()));
    if (!ReadReleaseEntries(manifest, entries)) {
        failure = Failure::ManifestIncomplete;
        return false;
    }
    ParsedUrl parsed;
    return CheckReleaseSignature(manifest, failure) && ValidateReleaseUrl(entries.installerUrl, parsed, failure);
}

// The downloaded file, locked before hashing so that what is hashed is what
// the window starts, against the manifest's digest. A failure here deletes the
// file, unless another program holds it.
static bool VerifyInstaller(Attempt& attempt, const std::wstring& expectedDigest, Failure& failure)
{
    DWORD lockError = ERROR_SUCCESS;
    if (!TradeForReadLock(attempt.installer, lockError) && IsHeldByAnotherProgram(lockError)) {
        failure = Failure::FileInUse;
        return false;
    }
    std::wstring actualDigest;
    if (!attempt.installer.handle) {
        failure = Failure::VerificationFailed;
    } else if (Sha256FileHex(attempt.installer.handle.get(), actualDigest, failure) &&
               DigestsMatch(expectedDigest, actualDigest)) {
        return true;
    } else if (!actualDigest.empty()) {
        failure = Failure::DigestMismatch;
    }
    DeleteHeldFile(attempt.installer);
    WriteLogLine(L"Installer SHA-256 verification failed.");
    return false;
}

static bool RunSteps(Attempt& attempt, Failure& failure)
{
    WriteLogLine(L"Checking the KORVA release manifest.");
    ReportProgress(attempt.events.progress, 0, true);
    ReleaseEntries entries;
    if (!FetchRelease(attempt, entries, failure)) {
        return false;
    }
    const std::wstring directory = GetInstallerDirectory();
    if (directory.empty()) {
        // Nowhere safe to write: the same outcome as a file that cannot be opened.
        failure = Failure::DownloadFailed;
        return false;
    }
    attempt.installer.path = directory + L"\\KORVA-Setup-" + entries.version + L".exe";
    WriteLogLine(L"Downloading KORVA " + entries.version + L".");
    if (!DownloadInstallerResuming(attempt, entries.installerUrl, failure)) {
        // A file that another program holds is another attempt's, or that
        // KORVA Setup running: left alone. Otherwise this also removes a file
        // of this name that a finished attempt left when the download failed
        // before opening it; one that a running attempt holds cannot be
        // deleted, as none of its handles lets others delete.
        if (failure != Failure::FileInUse) {
            DeleteHeldFile(attempt.installer);
        }
        return false;
    }
    return VerifyInstaller(attempt, entries.expectedDigest, failure);
}

bool RunAttempt(Attempt& attempt)
{
    Failure failure = Failure::None;
    if (!RunSteps(attempt, failure)) {
        EndAttempt(attempt, AttemptOutcome::Failed, failure);
        return false;
    }
    WriteLogLine(L"Installer verified successfully.");
    EndAttempt(attempt, AttemptOutcome::Verified);
    return true;
}

DWORD WINAPI InstallWorker(LPVOID attempt)
{
    return RunAttempt(*static_cast<Attempt*>(attempt)) ? 0 : 1;
}
