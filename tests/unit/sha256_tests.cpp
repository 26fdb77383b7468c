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

    TEST_CASE("a handle that cannot be rewound or read to its end fails")
    {
        // A pipe has no position to rewind to, and its reads fail with a
        // broken pipe once the writer goes away after some bytes. (Wine does
        // not enforce byte-range locks on reads, so no disk file here fails a
        // read part-way.)
        const std::wstring name = L"\\\\.\\pipe\\korva-unit-read-error-" + std::to_wstring(GetCurrentProcessId());
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 20,
                                       1 << 20, 0, nullptr);
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
        {
            const ScopedCloseHandle reader(OpenForReading(name));
            REQUIRE(static_cast<bool>(reader));
            std::wstring digest = L"previous";
            Failure failure = Failure::None;
            CHECK_FALSE(Sha256FileHex(reader.get(), digest, failure));
            CHECK(digest == L"previous");
            CHECK(failure == Failure::VerificationFailed);
        }
        WaitForSingleObject(writer, 10000);
        CloseHandle(writer);
    }
}
