#include "transfer/publisher_pins.h"

// An unpinned build trusts the SHA-256 the manifest names, as it always has:
// the setup program's signature is not read, and none of the signature code
// (nor wintrust.dll or crypt32.dll) is linked in.

void StartInstallerPublisherCheck(HANDLE /*file*/, const std::wstring& /*path*/, PublisherCheck& /*check*/) {}

bool FinishInstallerPublisherCheck(PublisherCheck& /*check*/)
{
    return true;
}
