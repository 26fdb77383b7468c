#define DOCTEST_CONFIG_IMPLEMENT
#include "doctest.h"
#include "test_support.h"
#include "workflow/installer_log.h"

#include <cstdlib>
#include <cstring>
#include <string>

// "korva_unit_tests --append-log-lines TAG COUNT START": a second writer of
// the log for the tests of concurrent appends; the log lies where LOCALAPPDATA
// says. It reports ready through the semaphore START + "-ready", then waits
// for the event START + "-go", so all writers begin together.
static int AppendLogLines(const char* tag, int count, const char* start)
{
    const std::string name = start;
    HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, (name + "-ready").c_str());
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, (name + "-go").c_str());
    if (ready == nullptr || go == nullptr) {
        return 2;
    }
    ReleaseSemaphore(ready, 1, nullptr);
    WaitForSingleObject(go, 30000);
    for (int i = 0; i < count; ++i) {
        WriteLogLine(std::wstring(tag, tag + strlen(tag)) + L" " + std::to_wstring(i) +
                     L" is one whole line, long enough to take a while to write");
    }
    CloseHandle(go);
    CloseHandle(ready);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "--append-log-lines") == 0) {
        return AppendLogLines(argv[2], atoi(argv[3]), argv[4]);
    }
    return doctest::Context(argc, argv).run();
}
