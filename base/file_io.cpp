#include "base/file_io.h"

static const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static ScopedCloseHandle OpenWith(const std::wstring& path, DWORD access, DWORD disposition, DWORD share = kShareAll)
{
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return ScopedCloseHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

// Takes the guard for one change of the handle and gives it back on every path.
class ScopedGuard
{
public:
    explicit ScopedGuard(SRWLOCK& guard) : guard_(guard) { AcquireSRWLockExclusive(&guard_); }
    ~ScopedGuard() { ReleaseSRWLockExclusive(&guard_); }
    ScopedGuard(const ScopedGuard&) = delete;
    ScopedGuard& operator=(const ScopedGuard&) = delete;

private:
    SRWLOCK& guard_;
};

bool CreateHeldFile(HeldFile& held)
{
    const ScopedGuard guard(held.guard);
    held.handle = OpenWith(held.path, GENERIC_WRITE, CREATE_ALWAYS, FILE_SHARE_READ);
    return static_cast<bool>(held.handle);
}

// Windows (and Wine) will not start a program while any handle may write to
// its file, ours included, so the write handle cannot stay until the launch.
// A read handle that denies writing cannot open while a write handle is open,
// so a bridge that tolerates writers but still denies renaming and deleting
// holds the file between the two. A writer that gets in during that moment
// makes the final open fail; one that came and went is caught by the digest,
// which is taken only under the final handle.
bool TradeForReadLock(HeldFile& held, DWORD& error)
{
    const ScopedGuard guard(held.guard);
    ScopedCloseHandle bridge = OpenWith(held.path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!bridge) {
        error = GetLastError();
        held.handle.reset();
        return false;
    }
    held.handle = std::move(bridge);
    ScopedCloseHandle locked = OpenWith(held.path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    error = locked ? ERROR_SUCCESS : GetLastError();
    held.handle = std::move(locked);
    return static_cast<bool>(held.handle);
}

void DeleteHeldFile(HeldFile& held)
{
    const ScopedGuard guard(held.guard);
    held.handle.reset(); // a held handle would make the deletion fail
    DeleteFileW(held.path.c_str());
}

bool IsHeldByAnotherProgram(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

ScopedCloseHandle OpenFileForAppending(const std::wstring& path)
{
    // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at the
    // current end, even when another program appends in between. Read access
    // only because LockFileEx requires read or write data access.
    return OpenWith(path, FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE, OPEN_ALWAYS);
}

bool WriteFileFully(HANDLE file, const void* data, size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, next, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}
