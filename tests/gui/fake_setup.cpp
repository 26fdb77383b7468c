// Stands in for the real KORVA Setup that the release server hands out. When
// started it writes "<own path>.started" with its command line and working
// folder, so a test can see that it ran and how, then stays alive until the
// test creates "<own path>.release" (or 30 s pass) and writes
// "<own path>.finished" on the way out. Staying alive is what shows that the
// installer does not wait for it.

#include <windows.h>

#include <string>

static bool WriteUtf8File(const std::wstring& path, const std::wstring& text)
{
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    const std::wstring base = self;
    if (!WriteUtf8File(base + L".started", std::wstring(GetCommandLineW()) + L"\n" + folder + L"\n")) {
        return 2;
    }
    const std::wstring release = base + L".release";
    for (int waited = 0; waited < 30000 && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 20) {
        Sleep(20);
    }
    WriteUtf8File(base + L".finished", L"");
    return 0;
}
