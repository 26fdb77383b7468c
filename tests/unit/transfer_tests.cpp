#include "app/attempt_messages.h"
#include "transfer/https_download.h"
#include "workflow/install_worker.h"
#include "workflow/resumed_download.h"
#include "test_support.h"

#include <algorithm>

static const wchar_t kUnexpected[] = L"The KORVA server returned an unexpected response.";
static const wchar_t kMismatch[] =
    L"The downloaded installer did not match the official SHA-256 value. It will not be executed.";

static std::wstring Www(const std::wstring& relative)
{
    return SandboxPath(L"KORVA_WWW") + L"\\" + relative;
}

static std::wstring FaultTlsUrl(const std::wstring& path)
{
    wchar_t port[16] = {};
    GetEnvironmentVariableW(L"KORVA_FAULT_TLS_PORT", port, 16);
    return std::wstring(L"https://korva.com:") + port + path;
}

// Selects fault-server behaviour; removed again so later suites get the
// static manifest.
struct ScopedFaultScenario {
    explicit ScopedFaultScenario(const std::string& json) { WriteBytes(SandboxPath(L"KORVA_FAULT_SCENARIO"), json); }
    ~ScopedFaultScenario() { DeleteFileW(SandboxPath(L"KORVA_FAULT_SCENARIO").c_str()); }
};

static std::vector<WPARAM> ProgressPosts()
{
    std::vector<WPARAM> percents;
    for (const PostedMessage& m : DrainThreadMessages()) {
        if (m.message == WM_APP_PROGRESS) {
            percents.push_back(m.wParam);
        }
    }
    return percents;
}

TEST_SUITE("download")
{
    TEST_CASE("percentages truncate, cap at 100 and survive installers past 42 MB")
    {
        CHECK(ProgressPercent(0, 1000) == 0);
        CHECK(ProgressPercent(9, 1000) == 0); // under 1 % reads as 0
        CHECK(ProgressPercent(999, 1000) == 99);
        CHECK(ProgressPercent(1000, 1000) == 100);
        CHECK(ProgressPercent(5000, 1000) == 100); // more than announced
        // received * 100 overflows 32 bits from about 42.9 MB on.
        CHECK(ProgressPercent(3000000000ull, 4000000000ull) == 75);
    }

    TEST_CASE("a known length gives rising percentages that end at 100")
    {
        DrainThreadMessages();
        const std::string body = PatternBytes(700000);
        REQUIRE(WriteBytes(Www(L"releases-big.bin"), body));
        TempFolder folder;
        const std::wstring target = folder.path + L"\\big.bin";
        ByteBuffer untouched;
        std::wstring error = L"kept";
        REQUIRE(HttpsDownload(L"https://korva.com/releases-big.bin", untouched, target, true, error));
        CHECK(error == L"kept");
        CHECK(untouched.empty());
        std::string stored;
        REQUIRE(ReadBytes(target, stored));
        CHECK(stored == body);
        const std::vector<WPARAM> percents = ProgressPosts();
        REQUIRE(percents.size() >= 2);
        CHECK(std::is_sorted(percents.begin(), percents.end()));
        CHECK(percents.front() < 100);
        CHECK(percents.back() == 100);
    }

    TEST_CASE("memory mode appends to the buffer, and the flag alone decides on progress")
    {
        DrainThreadMessages();
        REQUIRE(WriteBytes(Www(L"small.txt"), "version=1\n"));
        ByteBuffer buffer = {'x', 'y'};
        std::wstring error;
        REQUIRE(HttpsDownload(L"https://www.korva.com/small.txt", buffer, L"", false, error));
        CHECK(std::string(buffer.begin(), buffer.end()) == "xyversion=1\n");
        CHECK(ProgressPosts().empty());
        REQUIRE(HttpsDownload(L"https://korva.com/small.txt", buffer, L"", true, error));
        CHECK(ProgressPosts() == std::vector<WPARAM>{100});
    }

    TEST_CASE("without Content-Length nothing is posted and the body still arrives")
    {
        DrainThreadMessages();
        REQUIRE(WriteBytes(Www(L"faults\\chunked.bin"), PatternBytes(150000)));
        ScopedFaultScenario scenario(R"({"/faults/chunked.bin": {"length": "none"}})");
        ByteBuffer buffer;
        std::wstring error;
        REQUIRE(HttpsDownload(FaultTlsUrl(L"/faults/chunked.bin"), buffer, L"", true, error));
        CHECK(buffer.size() == 150000);
        CHECK(ProgressPosts().empty());
    }

    TEST_CASE("a refused status leaves an earlier file of that name untouched")
    {
        TempFolder folder;
        const std::wstring target = folder.path + L"\\KORVA-Setup-1.exe";
        REQUIRE(WriteBytes(target, "earlier verified download"));
        for (const char* status : {"404", "500", "204", "206"}) {
            CAPTURE(status);
            ScopedFaultScenario scenario(std::string(R"({"/faults/setup.exe": {"status": )") + status +
                                         R"(, "body": "not this"}})");
            DrainThreadMessages();
            ByteBuffer buffer;
            std::wstring error = L"an earlier message";
            CHECK_FALSE(HttpsDownload(L"https://korva.com/faults/setup.exe", buffer, target, true, error));
            CHECK(error == kUnexpected);
            CHECK(ProgressPosts().empty());
            std::string stored;
            REQUIRE(ReadBytes(target, stored));
            CHECK(stored == "earlier verified download");
        }
    }

    TEST_CASE("memory mode gives up past 1 MiB, with or without a declared length")
    {
        const std::string big = PatternBytes(3 * 1024 * 1024);
        REQUIRE(WriteBytes(Www(L"faults\\huge.txt"), big));
        for (const char* length : {"\"exact\"", "\"none\""}) {
            CAPTURE(length);
            ScopedFaultScenario scenario(std::string(R"({"/faults/huge.txt": {"length": )") + length + "}}");
            ByteBuffer buffer;
            std::wstring error;
            CHECK_FALSE(HttpsDownload(FaultTlsUrl(L"/faults/huge.txt"), buffer, L"", false, error));
            CHECK(error == kDownloadFailedMessage);
            CHECK(buffer.size() <= kMaxMemoryBody);
        }
        // The installer itself is written to a file and has no such limit.
        ScopedFaultScenario scenario(R"({"/faults/huge.txt": {}})");
        TempFolder folder;
        ByteBuffer unused;
        std::wstring error;
        CHECK(HttpsDownload(FaultTlsUrl(L"/faults/huge.txt"), unused, folder.path + L"\\huge.txt", false, error));
        DrainThreadMessages();
    }

    TEST_CASE("redirect targets resolve against the URL that answered")
    {
        ParsedUrl current;
        current.host = L"korva.com";
        current.port = 8443;
        current.path = L"/updates/a/file.txt?x=1";
        CHECK(ResolveRedirectTarget(current, L"https://www.korva.com/b") == L"https://www.korva.com/b");
        CHECK(ResolveRedirectTarget(current, L"//other.example/c") == L"https://other.example/c");
        CHECK(ResolveRedirectTarget(current, L"/d/../e?q") == L"https://korva.com:8443/e?q");
        CHECK(ResolveRedirectTarget(current, L"next.txt") == L"https://korva.com:8443/updates/a/next.txt");
        CHECK(ResolveRedirectTarget(current, L"../../../../up") == L"https://korva.com:8443/up");
        CHECK(ResolveRedirectTarget(current, L"?y=2") == L"https://korva.com:8443/updates/a/file.txt?y=2");
        // Not a scheme: a relative path that stays on the answering host.
        CHECK(ResolveRedirectTarget(current, L"1a:b") == L"https://korva.com:8443/updates/a/1a:b");
    }

    TEST_CASE("a redirect is judged by the policy, and one without a target is unexpected")
    {
        REQUIRE(WriteBytes(Www(L"small.txt"), "version=1\n"));
        ByteBuffer buffer;
        std::wstring error;
        {
            ScopedFaultScenario scenario(
                R"({"/faults/moved.txt": {"status": 302, "headers": {"Location": "https://mirror.example.net/small.txt"}}})");
            CHECK_FALSE(HttpsDownload(L"https://korva.com/faults/moved.txt", buffer, L"", false, error));
            CHECK(error == L"The release URL is not hosted on the official KORVA domain.");
        }
        {
            ScopedFaultScenario scenario(R"({"/faults/moved.txt": {"status": 302, "body": "no target"}})");
            CHECK_FALSE(HttpsDownload(L"https://korva.com/faults/moved.txt", buffer, L"", false, error));
            CHECK(error == kUnexpected);
        }
        {
            ScopedFaultScenario scenario(
                R"({"/faults/moved.txt": {"status": 307, "headers": {"Location": "/small.txt"}}})");
            REQUIRE(HttpsDownload(L"https://korva.com/faults/moved.txt", buffer, L"", false, error));
        }
        CHECK_FALSE(buffer.empty());
    }

    TEST_CASE("a URL outside the policy never reaches the network")
    {
        ByteBuffer buffer;
        std::wstring error;
        CHECK_FALSE(HttpsDownload(L"http://korva.com/small.txt", buffer, L"", false, error));
        CHECK(error == L"The release URL must use HTTPS.");
        CHECK_FALSE(HttpsDownload(L"https://mirror.example.net/small.txt", buffer, L"", false, error));
        CHECK(error == L"The release URL is not hosted on the official KORVA domain.");
        CHECK(buffer.empty());
    }

    TEST_CASE("a resumption that does not continue the file is an unexpected response")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        REQUIRE(WriteBytes(Www(L"faults\\resumed.bin"), PatternBytes(100000)));
        for (const char* resumed : {R"({"status": 416})", R"({"range_shift": -100})", R"({"range_total": 99})"}) {
            CAPTURE(resumed);
            ScopedFaultScenario scenario(std::string(R"({"/faults/resumed.bin": {"ranges": true, "etag": "\"r\"", )") +
                                         R"("requests": [{"close_after": 40000}, )" + resumed + "]}}");
            std::wstring error;
            ScopedCloseHandle file;
            CHECK_FALSE(DownloadInstallerResuming(FaultTlsUrl(L"/faults/resumed.bin"), base.path + L"\\resumed.bin",
                                                  error, file));
            CHECK(error == kUnexpected);
        }
    }
}

static void ServeRelease(const std::string& version, const std::string& installer, const std::string& digest)
{
    REQUIRE(WriteBytes(Www(L"releases-setup.exe"), installer));
    REQUIRE(WriteBytes(Www(L"updates\\korva-suite-update.txt"),
                       "version=" + version + "\ninstallerUrl=https://korva.com/releases-setup.exe\n" +
                           "installerSha256=" + digest + "\n"));
}

static const char kUnrelatedDigest[] = "9f1bd50f06f4a7a8b2e1b3a5e9c52ec7a9fc9abe08f8a4bcb2b2b3b2bd2f7ff0";

TEST_SUITE("worker")
{
    TEST_CASE("a verified attempt posts 0 first and exactly one VERIFIED last")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::string installer = PatternBytes(65537);
        ServeRelease("1.2.3", installer, "237356E18B503616912ABB8FFAED3A72591E397D4AC294C4637917D48A3F529D");
        DrainThreadMessages();
        g_lastError = L"from an earlier attempt";
        g_attemptOutcome = AttemptOutcome::Running;
        CHECK(InstallWorker(nullptr) == 0);
        CHECK(g_attemptOutcome == AttemptOutcome::Verified);
        const std::vector<PostedMessage> posted = DrainThreadMessages();
        REQUIRE(posted.size() >= 2);
        CHECK(posted.front().message == WM_APP_PROGRESS);
        CHECK(posted.front().wParam == 0);
        CHECK(posted.back().message == WM_APP_VERIFIED);
        CHECK(std::count_if(posted.begin(), posted.end(), [](const PostedMessage& m) {
                  return m.message == WM_APP_VERIFIED || m.message == WM_APP_FAILED;
              }) == 1);
        CHECK(g_lastError == L"from an earlier attempt");
        CHECK(g_installerPath == base.path + L"\\KORVA\\Installer\\KORVA-Setup-1.2.3.exe");
        std::string kept;
        REQUIRE(ReadBytes(g_installerPath, kept));
        CHECK(kept == installer);
        g_installerLock.reset();
    }

    TEST_CASE("the verified file cannot be changed or removed until the lock is released")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::string installer = PatternBytes(65536);
        ServeRelease("3.1", installer, "4b640d85ab3ba30fd02c9fc9db4a8928f416322ad27022ea58a65aaee68a4df2");
        REQUIRE(InstallWorker(nullptr) == 0);
        DrainThreadMessages();
        REQUIRE(static_cast<bool>(g_installerLock));
        // Another process of the same user tries to swap the file.
        // (Wine's cmd reports success whatever happened: judge by the file.)
        REQUIRE(RunProcess(L"cmd.exe /c echo swapped> \"" + g_installerPath + L"\"") >= 0);
        REQUIRE(RunProcess(L"cmd.exe /c del /q \"" + g_installerPath + L"\"") >= 0);
        CHECK_FALSE(MoveFileW(g_installerPath.c_str(), (g_installerPath + L".old").c_str()));
        std::string kept;
        REQUIRE(ReadBytes(g_installerPath, kept));
        CHECK(kept == installer);
        g_installerLock.reset();
        CHECK(DeleteFileW(g_installerPath.c_str()));
    }

    TEST_CASE("a file that another attempt holds ends the attempt as in use and is left alone")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        ServeRelease("4.0", PatternBytes(1000), kUnrelatedDigest);
        const std::wstring working = base.path + L"\\KORVA\\Installer";
        const std::wstring path = working + L"\\KORVA-Setup-4.0.exe";
        // Downloading (write, others read) and verified (read, others read).
        for (DWORD access : {static_cast<DWORD>(GENERIC_WRITE), static_cast<DWORD>(GENERIC_READ)}) {
            CAPTURE(access);
            RemoveTree(base.path + L"\\KORVA");
            REQUIRE(CreateDirectoryW((base.path + L"\\KORVA").c_str(), nullptr));
            REQUIRE(CreateDirectoryW(working.c_str(), nullptr));
            REQUIRE(WriteBytes(path, "the other attempt's file"));
            HANDLE other = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            REQUIRE(other != INVALID_HANDLE_VALUE);
            CHECK(InstallWorker(nullptr) == 1);
            CHECK_FALSE(static_cast<bool>(g_installerLock));
            CloseHandle(other);
            DrainThreadMessages();
            CHECK(g_lastError == kFileInUseMessage);
            std::string kept;
            REQUIRE(ReadBytes(path, kept));
            CHECK(kept == "the other attempt's file");
            std::string log;
            REQUIRE(ReadBytes(working + L"\\KORVA.Installer.log", log));
            CHECK(log.find("Downloading KORVA 4.0.") != std::string::npos);
            CHECK(log.find("verification failed") == std::string::npos);
        }
    }

    TEST_CASE("an early failure keeps the previous path and replaces the error text")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        ScopedFaultScenario scenario(R"({"/updates/korva-suite-update.txt": {"status": 500, "body": "oops"}})");
        DrainThreadMessages();
        g_installerPath = L"C:\\previous\\KORVA-Setup-0.9.exe";
        g_lastError = L"something much longer from an earlier failure";
        g_attemptOutcome = AttemptOutcome::Running;
        CHECK(InstallWorker(nullptr) == 1);
        CHECK(g_attemptOutcome == AttemptOutcome::Failed);
        const std::vector<PostedMessage> posted = DrainThreadMessages();
        REQUIRE(!posted.empty());
        CHECK(posted.back().message == WM_APP_FAILED);
        CHECK(std::count_if(posted.begin(), posted.end(),
                            [](const PostedMessage& m) { return m.message == WM_APP_FAILED; }) == 1);
        CHECK(g_lastError == kUnexpected);
        CHECK(g_installerPath == L"C:\\previous\\KORVA-Setup-0.9.exe");
    }

    TEST_CASE("a mismatch after another failure shows the mismatch text and deletes the file")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        g_lastError = L"The KORVA release manifest is incomplete.";
        ServeRelease("2.0", PatternBytes(1000), kUnrelatedDigest);
        g_attemptOutcome = AttemptOutcome::Running;
        CHECK(InstallWorker(nullptr) == 1);
        CHECK(g_attemptOutcome == AttemptOutcome::Failed);
        DrainThreadMessages();
        CHECK(g_lastError == kMismatch);
        CHECK(g_installerPath == base.path + L"\\KORVA\\Installer\\KORVA-Setup-2.0.exe");
        CHECK_FALSE(PathExists(g_installerPath));
    }

    TEST_CASE("a version is used in a file name only when it stays a plain name")
    {
        for (const wchar_t* good : {L"1.2.3.4", L"2026.1-beta+7", L"1 2", L"v\u00E9"}) {
            CAPTURE(Narrow(good));
            CHECK(IsSafeVersionForFileName(good));
        }
        for (const wchar_t* bad : {L"..", L"..\\..\\x", L"1/2", L"a\\b", L"C:x", L"a<b", L"a>b", L"a\"b", L"a|b",
                                   L"a?b", L"a*b", L"1\t2", L"1\r2", L"\x7F"}) {
            CAPTURE(Narrow(bad));
            CHECK_FALSE(IsSafeVersionForFileName(bad));
        }
        // What shows as something else: C1 controls, soft hyphen, bidirectional
        // marks, embeddings, overrides and isolates, zero-width characters, the
        // byte-order mark, tags (a surrogate pair here), line separators; and a
        // lone surrogate, which no UTF-8 manifest can give.
        for (const wchar_t* hidden :
             {L"1.2\u0085",   L"1.2\u009B",   L"1\u00AD2", L"1.2\u200E", L"1.2\u200F", L"1\u202A2", L"1.2\u202Eexe.3",
              L"1\u20662",    L"1\u20692",    L"1\u200B2", L"1\u200D2",  L"1\u20602",  L"\uFEFF1",  L"1\U000E0001",
              L"1\U000E0041", L"1\U000E007F", L"1\u20282", L"1\u061C2",  L"1\xD800",   L"1\xDC41"}) {
            CAPTURE(Narrow(hidden));
            CHECK_FALSE(IsSafeVersionForFileName(hidden));
        }
        // Neighbours of those ranges are ordinary characters.
        for (const wchar_t* shown : {L"1\u00A02", L"1\u00AE2", L"1\u200A2", L"1\u20302", L"1\u20652", L"\U0001F600",
                                     L"1\U000E0100", L"\u0431\u0435\u0442\u0430"}) {
            CAPTURE(Narrow(shown));
            CHECK(IsSafeVersionForFileName(shown));
        }
    }
}
