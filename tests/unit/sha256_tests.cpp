#include "base/scoped_handle.h"
#include "transfer/sha256_file.h"
#include "test_support.h"

struct HashCase {
    size_t size;
    const wchar_t* digest;
};

TEST_SUITE("sha256")
{
    TEST_CASE("known answers across the 65,536-byte block boundary, whatever the handle's position")
    {
        // Expected values from an independent implementation (Python hashlib)
        // over the same pattern bytes. The handle starts at the end of the
        // file, as the one that wrote it would: a digest taken from there is
        // the empty file's.
        const HashCase cases[] = {
            {0, L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
            {65536, L"4b640d85ab3ba30fd02c9fc9db4a8928f416322ad27022ea58a65aaee68a4df2"},
            {65537, L"237356e18b503616912abb8ffaed3a72591e397d4ac294c4637917d48a3f529d"},
            {200000, L"e24bc62381f1224fbbb74688663f8f9743b9680b193edd666835e97b06e730eb"},
        };
        TempFolder folder;
        for (const HashCase& c : cases) {
            CAPTURE(c.size);
            const std::wstring path = folder.path + L"\\KORVA-Setup-1.exe";
            REQUIRE(WriteBytes(path, PatternBytes(c.size)));
            const ScopedCloseHandle file(OpenForReading(path));
            REQUIRE(static_cast<bool>(file));
            const LARGE_INTEGER none = {};
            REQUIRE(SetFilePointerEx(file.get(), none, nullptr, FILE_END));
            std::wstring digest = L"old";
            Failure failure = Failure::None;
            CHECK(Sha256FileHex(file.get(), digest, failure));
            CHECK(digest == c.digest);
            CHECK(failure == Failure::None);
        }
    }

    TEST_CASE("no open file fails and leaves the digest alone")
    {
        std::wstring digest = L"previous";
        Failure failure = Failure::None;
        CHECK_FALSE(Sha256FileHex(nullptr, digest, failure));
        CHECK(digest == L"previous");
        CHECK(failure == Failure::VerificationFailed);
    }

    TEST_CASE("a handle whose reads fail fails, though it can be rewound")
    {
        // Opened for its attributes only: the position can be set, every read
        // is refused. Taking a refused read for the end of the file would
        // give the empty file's digest.
        TempFolder folder;
        const std::wstring path = folder.path + L"\\KORVA-Setup-1.exe";
        REQUIRE(WriteBytes(path, PatternBytes(1000)));
        const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        REQUIRE(file != INVALID_HANDLE_VALUE);
        const LARGE_INTEGER start = {};
        CHECK(SetFilePointerEx(file, start, nullptr, FILE_BEGIN));
        std::wstring digest = L"previous";
        Failure failure = Failure::None;
        CHECK_FALSE(Sha256FileHex(file, digest, failure));
        CHECK(digest == L"previous");
        CHECK(failure == Failure::VerificationFailed);
        CloseHandle(file);
    }

    TEST_CASE("a handle that cannot be rewound fails before it reads a byte")
    {
        // A pipe has no position to rewind to. Its bytes are all there to
        // read: were the failed rewind ignored, they would be read (and the
        // hash would wait for the writer to go away); refused, they stay.
        const std::wstring name = L"\\\\.\\pipe\\korva-unit-rewind-" + std::to_wstring(GetCurrentProcessId());
        const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                               1 << 20, 1 << 20, 0, nullptr);
        REQUIRE(server != INVALID_HANDLE_VALUE);
        const HANDLE reader = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        REQUIRE(reader != INVALID_HANDLE_VALUE);
        const std::string bytes = PatternBytes(1000);
        DWORD written = 0;
        REQUIRE(WriteFile(server, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        REQUIRE(written == bytes.size());
        // Ends the writer after 5 s at most, so a hash that reads does not
        // wait for ever.
        const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        struct Writer {
            HANDLE server;
            HANDLE done;
        } writerState = {server, done};
        const HANDLE writer = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                const Writer* state = static_cast<const Writer*>(p);
                WaitForSingleObject(state->done, 5000);
                CloseHandle(state->server);
                return 0;
            },
            &writerState, 0, nullptr);
        REQUIRE(writer != nullptr);
        std::wstring digest = L"previous";
        Failure failure = Failure::None;
        CHECK_FALSE(Sha256FileHex(reader, digest, failure));
        DWORD unread = 0;
        CHECK(PeekNamedPipe(reader, nullptr, 0, nullptr, &unread, nullptr));
        CHECK(unread == 1000);
        SetEvent(done);
        WaitForSingleObject(writer, 10000);
        CloseHandle(writer);
        CloseHandle(done);
        CloseHandle(reader);
        CHECK(digest == L"previous");
        CHECK(failure == Failure::VerificationFailed);
    }
}
