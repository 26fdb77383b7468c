#include "app/attempt_messages.h"
#include "transfer/sha256_file.h"
#include "test_support.h"

static const wchar_t kVerifyFailed[] = L"The downloaded package could not be verified.";

struct HashCase {
    size_t size;
    const wchar_t* digest;
};

TEST_SUITE("sha256")
{
    TEST_CASE("known answers across the 65,536-byte block boundary")
    {
        // Expected values from an independent implementation (Python hashlib)
        // over the same pattern bytes.
        const HashCase cases[] = {
            {0, L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
            {65536, L"4b640d85ab3ba30fd02c9fc9db4a8928f416322ad27022ea58a65aaee68a4df2"},
            {65537, L"237356e18b503616912abb8ffaed3a72591e397d4ac294c4637917d48a3f529d"},
            {200000, L"e24bc62381f1224fbbb74688663f8f9743b9680b193edd666835e97b06e730eb"},
        };
        TempFolder folder;
        for (const HashCase& c : cases) {
            CAPTURE(c.size);
            g_installerPath = folder.path + L"\\KORVA-Setup-1.exe";
            REQUIRE(WriteBytes(g_installerPath, PatternBytes(c.size)));
            std::wstring digest = L"old";
            std::wstring error = L"untouched";
            CHECK(Sha256FileHex(digest, error));
            CHECK(digest == c.digest);
            CHECK(error == L"untouched");
        }
    }

    TEST_CASE("a missing file fails and leaves the digest alone")
    {
        TempFolder folder;
        g_installerPath = folder.path + L"\\absent.exe";
        std::wstring digest = L"previous";
        std::wstring error = L"previous error";
        CHECK_FALSE(Sha256FileHex(digest, error));
        CHECK(digest == L"previous");
        CHECK(error == kVerifyFailed);
    }

    TEST_CASE("a read error fails instead of passing off a digest of the bytes before it")
    {
        // A pipe whose writer goes away makes ReadFile fail with a broken pipe
        // after the bytes it did deliver: a real read error at a known point.
        g_installerPath = L"\\\\.\\pipe\\korva-unit-read-error-" + std::to_wstring(GetCurrentProcessId());
        HANDLE pipe = CreateNamedPipeW(g_installerPath.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                       1 << 20, 1 << 20, 0, nullptr);
        REQUIRE(pipe != INVALID_HANDLE_VALUE);
        HANDLE writer = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                HANDLE server = static_cast<HANDLE>(p);
                ConnectNamedPipe(server, nullptr);
                const std::string bytes = PatternBytes(1000);
                DWORD written = 0;
                WriteFile(server, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
                FlushFileBuffers(server);
                CloseHandle(server);
                return 0;
            },
            pipe, 0, nullptr);
        REQUIRE(writer != nullptr);
        std::wstring digest = L"previous";
        std::wstring error;
        CHECK_FALSE(Sha256FileHex(digest, error));
        CHECK(digest == L"previous");
        CHECK(error == kVerifyFailed);
        WaitForSingleObject(writer, 10000);
        CloseHandle(writer);
    }
}
