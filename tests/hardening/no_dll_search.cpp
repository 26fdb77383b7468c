// The control build of the installer: the same program with the DLL search
// left as Windows has it by default, so the planted DLLs can show they work.
#include "app/dll_search.h"

void LimitDllSearchToSystem32() {}
