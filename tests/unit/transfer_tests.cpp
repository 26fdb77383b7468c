#include "manifest/manifest_grammar.h"
#include "transfer/https_download.h"
#include "transfer/ranged_file.h"
#include "transfer/redirect_target.h"
#include "workflow/install_worker.h"
#include "workflow/resumed_download.h"
#include "test_support.h"

#include <algorithm>

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

// What an attempt or a download told its owner, in order.
struct Heard {
    std::vector<unsigned> percents;
    std::vector<AttemptOutcome> ends;
};

static void HearProgress(void* owner, unsigned percent, bool /*measured*/)
{
    static_cast<Heard*>(owner)->percents.push_back(percent);
}

static void HearEnd(void* owner, AttemptOutcome outcome)
{
    static_cast<Heard*>(owner)->ends.push_back(outcome);
}

static ProgressSink ProgressTo(Heard& heard)
{
    ProgressSink sink;
    sink.owner = &heard;
    sink.Report = HearProgress;
    return sink;
}

static bool DownloadToMemory(const std::wstring& url, ByteBuffer& buffer, Failure& failure, Heard* heard = nullptr)
{
    RouteMemory routes;
    Request request;
    request.url = url;
    request.body = MemoryBodySink(buffer);
    request.routes = &routes;
    if (heard != nullptr) {
        request.progress = ProgressTo(*heard);
    }
    return HttpsDownload(request, failure);
}

// One request into a new file at path, closed again before it returns.
static bool DownloadToFile(const std::wstring& url, const std::wstring& path, Failure& failure, Heard* heard = nullptr)
{
    RouteMemory routes;
    HeldFile file;
    file.path = path;
    FileTransfer transfer;
    transfer.file = &file;
    Request request;
    request.url = url;
    request.body = FileBodySink(transfer);
    request.routes = &routes;
    if (heard != nullptr) {
        request.progress = ProgressTo(*heard);
    }
    return HttpsDownload(request, failure);
}

static void Listen(Attempt& attempt, Heard& heard)
{
    attempt.events.progress = ProgressTo(heard);
    attempt.events.owner = &heard;
    attempt.events.Ended = HearEnd;
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
        const std::string body = PatternBytes(700000);
        REQUIRE(WriteBytes(Www(L"releases-big.bin"), body));
        TempFolder folder;
        const std::wstring target = folder.path + L"\\big.bin";
        Failure failure = Failure::FileInUse;
        Heard heard;
        REQUIRE(DownloadToFile(L"https://korva.com/releases-big.bin", target, failure, &heard));
        CHECK(failure == Failure::FileInUse); // untouched on success
        std::string stored;
        REQUIRE(ReadBytes(target, stored));
        CHECK(stored == body);
        REQUIRE(heard.percents.size() >= 2);
        CHECK(std::is_sorted(heard.percents.begin(), heard.percents.end()));
        CHECK(heard.percents.front() < 100);
        CHECK(heard.percents.back() == 100);
    }

    TEST_CASE("the memory sink appends to the buffer, and progress goes only where a sink is given")
    {
        REQUIRE(WriteBytes(Www(L"small.txt"), "version=1\n"));
        ByteBuffer buffer = {'x', 'y'};
        Failure failure = Failure::None;
        REQUIRE(DownloadToMemory(L"https://www.korva.com/small.txt", buffer, failure));
        CHECK(std::string(buffer.begin(), buffer.end()) == "xyversion=1\n");
        Heard heard;
        REQUIRE(DownloadToMemory(L"https://korva.com/small.txt", buffer, failure, &heard));
        CHECK(heard.percents == std::vector<unsigned>{100});
    }

    TEST_CASE("without Content-Length nothing is reported and the body still arrives")
    {
        REQUIRE(WriteBytes(Www(L"faults\\chunked.bin"), PatternBytes(150000)));
        ScopedFaultScenario scenario(R"({"/faults/chunked.bin": {"length": "none"}})");
        ByteBuffer buffer;
        Failure failure = Failure::None;
        Heard heard;
        REQUIRE(DownloadToMemory(FaultTlsUrl(L"/faults/chunked.bin"), buffer, failure, &heard));
        CHECK(buffer.size() == 150000);
        CHECK(heard.percents.empty());
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
            Failure failure = Failure::ManifestExpired;
            Heard heard;
            CHECK_FALSE(DownloadToFile(L"https://korva.com/faults/setup.exe", target, failure, &heard));
            CHECK(failure == Failure::UnexpectedResponse);
            CHECK(heard.percents.empty());
            std::string stored;
            REQUIRE(ReadBytes(target, stored));
            CHECK(stored == "earlier verified download");
        }
    }

    TEST_CASE("the memory sink gives up past 1 MiB, with or without a declared length")
    {
        const std::string big = PatternBytes(3 * 1024 * 1024);
        REQUIRE(WriteBytes(Www(L"faults\\huge.txt"), big));
        for (const char* length : {"\"exact\"", "\"none\""}) {
            CAPTURE(length);
            ScopedFaultScenario scenario(std::string(R"({"/faults/huge.txt": {"length": )") + length + "}}");
            ByteBuffer buffer;
            Failure failure = Failure::None;
            CHECK_FALSE(DownloadToMemory(FaultTlsUrl(L"/faults/huge.txt"), buffer, failure));
            CHECK(failure == Failure::DownloadFailed);
            CHECK(buffer.size() <= kMaxMemoryBody);
        }
        // The installer itself is written to a file and has no such limit.
        ScopedFaultScenario scenario(R"({"/faults/huge.txt": {}})");
        TempFolder folder;
        Failure failure = Failure::None;
        CHECK(DownloadToFile(FaultTlsUrl(L"/faults/huge.txt"), folder.path + L"\\huge.txt", failure));
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
        Failure failure = Failure::None;
        {
            ScopedFaultScenario scenario(
                R"({"/faults/moved.txt": {"status": 302, "headers": {"Location": "https://mirror.example.net/small.txt"}}})");
            ByteBuffer buffer;
            CHECK_FALSE(DownloadToMemory(L"https://korva.com/faults/moved.txt", buffer, failure));
            CHECK(failure == Failure::UrlNotOfficial);
        }
        {
            ScopedFaultScenario scenario(R"({"/faults/moved.txt": {"status": 302, "body": "no target"}})");
            ByteBuffer buffer;
            CHECK_FALSE(DownloadToMemory(L"https://korva.com/faults/moved.txt", buffer, failure));
            CHECK(failure == Failure::UnexpectedResponse);
        }
        {
            ScopedFaultScenario scenario(
                R"({"/faults/moved.txt": {"status": 307, "headers": {"Location": "/small.txt"}}})");
            ByteBuffer buffer;
            REQUIRE(DownloadToMemory(L"https://korva.com/faults/moved.txt", buffer, failure));
            CHECK(std::string(buffer.begin(), buffer.end()) == "version=1\n");
        }
    }

    TEST_CASE("a URL outside the policy never reaches the network")
    {
        ByteBuffer buffer;
        Failure failure = Failure::None;
        CHECK_FALSE(DownloadToMemory(L"http://korva.com/small.txt", buffer, failure));
        CHECK(failure == Failure::UrlNotHttps);
        CHECK_FALSE(DownloadToMemory(L"https://mirror.example.net/small.txt", buffer, failure));
        CHECK(failure == Failure::UrlNotOfficial);
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
            Attempt attempt;
            attempt.installer.path = base.path + L"\\resumed.bin";
            Failure failure = Failure::None;
            CHECK_FALSE(DownloadInstallerResuming(attempt, FaultTlsUrl(L"/faults/resumed.bin"), failure));
            CHECK(failure == Failure::UnexpectedResponse);
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
    TEST_CASE("a verified attempt reports 0 first and ends once, verified, holding the file")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::string installer = PatternBytes(65537);
        ServeRelease("1.2.3", installer, "237356E18B503616912ABB8FFAED3A72591E397D4AC294C4637917D48A3F529D");
        Attempt attempt;
        Heard heard;
        Listen(attempt, heard);
        CHECK(InstallWorker(&attempt) == 0);
        CHECK(LoadOutcome(attempt) == AttemptOutcome::Verified);
        CHECK(heard.ends == std::vector<AttemptOutcome>{AttemptOutcome::Verified});
        REQUIRE_FALSE(heard.percents.empty());
        CHECK(heard.percents.front() == 0);
        CHECK(heard.percents.back() == 100);
        CHECK(attempt.failure == Failure::None);
        CHECK(attempt.installer.path == base.path + L"\\KORVA\\Installer\\KORVA-Setup-1.2.3.exe");
        CHECK(static_cast<bool>(attempt.installer.handle));
        std::string kept;
        REQUIRE(ReadBytes(attempt.installer.path, kept));
        CHECK(kept == installer);
    }

    TEST_CASE("the verified file cannot be changed or removed until the attempt lets it go")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::string installer = PatternBytes(65536);
        ServeRelease("3.1", installer, "4b640d85ab3ba30fd02c9fc9db4a8928f416322ad27022ea58a65aaee68a4df2");
        Attempt attempt;
        REQUIRE(RunAttempt(attempt));
        const std::wstring path = attempt.installer.path;
        REQUIRE(static_cast<bool>(attempt.installer.handle));
        // Another process of the same user tries to swap the file.
        // (Wine's cmd reports success whatever happened: judge by the file.)
        REQUIRE(RunProcess(L"cmd.exe /c echo swapped> \"" + path + L"\"") >= 0);
        REQUIRE(RunProcess(L"cmd.exe /c del /q \"" + path + L"\"") >= 0);
        CHECK_FALSE(MoveFileW(path.c_str(), (path + L".old").c_str()));
        std::string kept;
        REQUIRE(ReadBytes(path, kept));
        CHECK(kept == installer);
        attempt.installer.handle.reset();
        CHECK(DeleteFileW(path.c_str()));
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
            Attempt attempt;
            CHECK_FALSE(RunAttempt(attempt));
            CHECK_FALSE(static_cast<bool>(attempt.installer.handle));
            CloseHandle(other);
            CHECK(attempt.failure == Failure::FileInUse);
            std::string kept;
            REQUIRE(ReadBytes(path, kept));
            CHECK(kept == "the other attempt's file");
            std::string log;
            REQUIRE(ReadBytes(working + L"\\KORVA.Installer.log", log));
            CHECK(log.find("Downloading KORVA 4.0.") != std::string::npos);
            CHECK(log.find("verification failed") == std::string::npos);
        }
    }

    TEST_CASE("an early failure ends the attempt once, failed, with that failure")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        ScopedFaultScenario scenario(R"({"/updates/korva-suite-update.txt": {"status": 500, "body": "oops"}})");
        Attempt attempt;
        Heard heard;
        Listen(attempt, heard);
        CHECK(InstallWorker(&attempt) == 1);
        CHECK(LoadOutcome(attempt) == AttemptOutcome::Failed);
        CHECK(heard.ends == std::vector<AttemptOutcome>{AttemptOutcome::Failed});
        CHECK(attempt.failure == Failure::UnexpectedResponse);
        CHECK(attempt.installer.path.empty());
    }

    TEST_CASE("a mismatch after a recovered interruption is a mismatch, and the file goes")
    {
        // The first request drops: the resumption that completes the file
        // leaves nothing of that earlier failure behind.
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        REQUIRE(WriteBytes(Www(L"faults\\setup-2.0.exe"), PatternBytes(100000)));
        REQUIRE(WriteBytes(Www(L"updates\\korva-suite-update.txt"),
                           "version=2.0\ninstallerUrl=" + Narrow(FaultTlsUrl(L"/faults/setup-2.0.exe")) +
                               "\ninstallerSha256=" + kUnrelatedDigest + "\n"));
        ScopedFaultScenario scenario(
            R"({"/faults/setup-2.0.exe": {"ranges": true, "etag": "\"s\"", "requests": [{"close_after": 30000}]}})");
        Attempt attempt;
        CHECK_FALSE(RunAttempt(attempt));
        CHECK(attempt.failure == Failure::DigestMismatch);
        CHECK(attempt.installer.path == base.path + L"\\KORVA\\Installer\\KORVA-Setup-2.0.exe");
        CHECK_FALSE(PathExists(attempt.installer.path));
        std::string log;
        REQUIRE(ReadBytes(base.path + L"\\KORVA\\Installer\\KORVA.Installer.log", log));
        CHECK(log.find("Download interrupted after 30000 of 100000 bytes; resuming.") != std::string::npos);
    }

    TEST_CASE("a version is used in a file name only when it stays a plain name")
    {
        for (const wchar_t* good : {L"1.2.3.4", L"2026.1-beta+7", L"1 2", L"v\u00E9"}) {
            CAPTURE(Narrow(good));
            CHECK(manifest_grammar::IsSafeVersionForFileName(std::wstring(good)));
        }
        for (const wchar_t* bad : {L"..", L"..\\..\\x", L"1/2", L"a\\b", L"C:x", L"a<b", L"a>b", L"a\"b", L"a|b",
                                   L"a?b", L"a*b", L"1\t2", L"1\r2", L"\x7F"}) {
            CAPTURE(Narrow(bad));
            CHECK_FALSE(manifest_grammar::IsSafeVersionForFileName(std::wstring(bad)));
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
            CHECK_FALSE(manifest_grammar::IsSafeVersionForFileName(std::wstring(hidden)));
        }
        // Neighbours of those ranges are ordinary characters.
        for (const wchar_t* shown : {L"1\u00A02", L"1\u00AE2", L"1\u200A2", L"1\u20302", L"1\u20652", L"\U0001F600",
                                     L"1\U000E0100", L"\u0431\u0435\u0442\u0430"}) {
            CAPTURE(Narrow(shown));
            CHECK(manifest_grammar::IsSafeVersionForFileName(std::wstring(shown)));
        }
    }
}
