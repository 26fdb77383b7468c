#include "workflow/installer_directory.h"
#include "workflow/installer_log.h"
#include "test_support.h"

#include <cstdio>
#include <vector>

static std::wstring TempPath()
{
    wchar_t buffer[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, buffer);
    return buffer;
}

// Every log line: "Y-M-D h:m:s " without leading zeros, then the text.
static bool HasStampPrefix(const std::string& line, std::string& text)
{
    unsigned y, mo, d, h, mi, s;
    int consumed = 0;
    // No trailing blank in the format: scanf would swallow the text's own.
    if (sscanf(line.c_str(), "%u-%u-%u %u:%u:%u%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6 || consumed == 0 ||
        line.size() <= static_cast<size_t>(consumed) || line[static_cast<size_t>(consumed)] != ' ') {
        return false;
    }
    char expected[64];
    snprintf(expected, sizeof(expected), "%u-%u-%u %u:%u:%u ", y, mo, d, h, mi, s);
    text = line.substr(static_cast<size_t>(consumed) + 1);
    return line.compare(0, strlen(expected), expected) == 0 && mo >= 1 && mo <= 12 && h < 24;
}

TEST_SUITE("working_directory")
{
    TEST_CASE("LOCALAPPDATA decides, and both folders are created")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::wstring directory = GetInstallerDirectory();
        CHECK(directory == base.path + L"\\KORVA\\Installer");
        CHECK(PathExists(base.path + L"\\KORVA"));
        CHECK(PathExists(directory));
        CHECK(GetInstallerDirectory() == directory); // existing folders are fine
        RemoveTree(base.path + L"\\KORVA");
        CHECK(GetInstallerDirectory() == directory);
        CHECK(PathExists(directory)); // re-created after it vanished
    }

    TEST_CASE("without LOCALAPPDATA the temporary path is the base")
    {
        // GetTempPathW's own trailing backslash stays: the fallback holds a
        // doubled separator, which names the same folder as a single one.
        const std::wstring temp = TempPath();
        REQUIRE(temp.back() == L'\\');
        const std::wstring expected = temp + L"\\KORVA\\Installer";
        {
            ScopedEnvironmentVariable appData(L"LOCALAPPDATA", nullptr);
            CHECK(GetInstallerDirectory() == expected);
        }
        {
            ScopedEnvironmentVariable appData(L"LOCALAPPDATA", L"");
            CHECK(GetInstallerDirectory() == expected);
        }
        CHECK(PathExists(temp + L"KORVA\\Installer"));
        RemoveTree(temp + L"KORVA");
    }

    TEST_CASE("a LOCALAPPDATA too long for the buffer falls back to the temporary path")
    {
        const std::wstring tooLong = L"C:\\" + std::wstring(300, L'a');
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", tooLong.c_str());
        CHECK(GetInstallerDirectory() == TempPath() + L"\\KORVA\\Installer");
        RemoveTree(TempPath() + L"KORVA");
    }
}

TEST_SUITE("log")
{
    TEST_CASE("the stamp has no leading zeros and no fixed width")
    {
        SYSTEMTIME t = {};
        t.wYear = 2026;
        t.wMonth = 3;
        t.wDay = 9;
        t.wHour = 8;
        t.wMinute = 5;
        t.wSecond = 7;
        t.wMilliseconds = 999;
        CHECK(FormatLogLine(t, L"Checking the KORVA release manifest.") ==
              "2026-3-9 8:5:7 Checking the KORVA release manifest.");
        t.wMonth = 12;
        t.wDay = 31;
        t.wHour = 23;
        t.wMinute = 59;
        t.wSecond = 0;
        CHECK(FormatLogLine(t, L"  x  ") == "2026-12-31 23:59:0   x  ");
    }

    TEST_CASE("one byte per character; what a byte cannot hold becomes a question mark")
    {
        SYSTEMTIME t = {};
        t.wYear = 2026;
        t.wMonth = 1;
        t.wDay = 1;
        CHECK(FormatLogLine(t, L"Downloading KORVA 1.\u00E9\u00FF.") == "2026-1-1 0:0:0 Downloading KORVA 1.\xE9\xFF.");
        // U+010A would otherwise put 0x0A, a line feed, into the file.
        CHECK(FormatLogLine(t, L"v\u010A\u4E2D\U0001F600.") == "2026-1-1 0:0:0 v????.");
    }

    TEST_CASE("lines are appended with CR LF, in call order, creating folder and file")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::wstring logPath = base.path + L"\\KORVA\\Installer\\KORVA.Installer.log";
        WriteLogLine(L"first");
        WriteLogLine(L" second ");
        std::string bytes;
        REQUIRE(ReadBytes(logPath, bytes));
        const size_t end1 = bytes.find("\r\n");
        REQUIRE(end1 != std::string::npos);
        std::string text;
        CHECK(HasStampPrefix(bytes.substr(0, end1), text));
        CHECK(text == "first");
        const std::string rest = bytes.substr(end1 + 2);
        REQUIRE(rest.size() >= 2);
        CHECK(rest.substr(rest.size() - 2) == "\r\n");
        CHECK(HasStampPrefix(rest.substr(0, rest.size() - 2), text));
        CHECK(text == " second ");
        CHECK(bytes.find('\n') == end1 + 1); // no bare LF anywhere
    }

    TEST_CASE("another program holding the log open does not block a line")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::wstring logPath = base.path + L"\\KORVA\\Installer\\KORVA.Installer.log";
        WriteLogLine(L"one");
        HANDLE reader =
            CreateFileW(logPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        REQUIRE(reader != INVALID_HANDLE_VALUE);
        WriteLogLine(L"two");
        CloseHandle(reader);
        std::string bytes;
        REQUIRE(ReadBytes(logPath, bytes));
        CHECK(bytes.find(" two\r\n") != std::string::npos);
    }

    TEST_CASE("processes appending at once lose, garble and reorder no line")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const int count = 400;
        const std::wstring start = L"korva-unit-append-" + std::to_wstring(GetCurrentProcessId());
        HANDLE ready = CreateSemaphoreW(nullptr, 0, 3, (start + L"-ready").c_str());
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, (start + L"-go").c_str());
        REQUIRE(ready != nullptr);
        REQUIRE(go != nullptr);
        std::vector<PROCESS_INFORMATION> writers;
        for (const wchar_t* tag : {L"A", L"B", L"C"}) {
            std::wstring line = L"\"" + std::wstring(self) + L"\" --append-log-lines " + tag + L" " +
                                std::to_wstring(count) + L" " + start;
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            REQUIRE(
                CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
            writers.push_back(process);
        }
        // Released together once all three run: Wine starts a process slowly
        // enough that one started later would otherwise find the others done.
        for (size_t i = 0; i < writers.size(); ++i) {
            CHECK(WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0);
        }
        SetEvent(go);
        for (const PROCESS_INFORMATION& process : writers) {
            CHECK(WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0);
            DWORD code = 1;
            GetExitCodeProcess(process.hProcess, &code);
            CHECK(code == 0);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        CloseHandle(go);
        CloseHandle(ready);
        std::string bytes;
        REQUIRE(ReadBytes(base.path + L"\\KORVA\\Installer\\KORVA.Installer.log", bytes));
        int next[3] = {0, 0, 0};
        int bad = 0;
        for (size_t start = 0, end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
            std::string text;
            const std::string line = bytes.substr(start, end - start);
            const int writer = HasStampPrefix(line, text) && !text.empty() ? text[0] - 'A' : -1;
            // Each writer's lines arrive whole, once each, in its own order.
            if (writer < 0 || writer > 2 ||
                text != std::string(1, static_cast<char>('A' + writer)) + " " + std::to_string(next[writer]) +
                            " is one whole line, long enough to take a while to write") {
                ++bad;
                continue;
            }
            ++next[writer];
        }
        CHECK(bad == 0);
        CHECK(next[0] == count);
        CHECK(next[1] == count);
        CHECK(next[2] == count);
        CHECK(bytes.size() >= 2);
        CHECK(bytes.compare(bytes.size() - 2, 2, "\r\n") == 0);
    }

    TEST_CASE("a log that cannot be opened drops the line silently")
    {
        TempFolder base;
        ScopedEnvironmentVariable appData(L"LOCALAPPDATA", base.path.c_str());
        const std::wstring logPath = base.path + L"\\KORVA\\Installer\\KORVA.Installer.log";
        WriteLogLine(L"kept");
        HANDLE exclusive = CreateFileW(logPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        REQUIRE(exclusive != INVALID_HANDLE_VALUE);
        WriteLogLine(L"dropped");
        CloseHandle(exclusive);
        WriteLogLine(L"after");
        std::string bytes;
        REQUIRE(ReadBytes(logPath, bytes));
        CHECK(bytes.find("dropped") == std::string::npos);
        CHECK(bytes.find(" after\r\n") != std::string::npos);
    }
}
