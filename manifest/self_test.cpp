#include "manifest/self_test.h"

#include "manifest/release_keys.h"
#include "manifest/release_manifest.h"
#include "manifest/url_policy.h"

bool RunSelfTest()
{
    // Mixed-case keys: the sample is only found through the parser's folding.
    const ReleaseManifest manifest =
        ParseReleaseManifest(L"version=1.2.3.4\n"
                             L"installerUrl=https://korva.com/releases/setup.exe\n"
                             L"installerSha256=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n");
    const auto url = manifest.find(L"installerurl");
    if (url == manifest.end() || manifest.find(L"installersha256") == manifest.end()) {
        return false;
    }
    ParsedUrl parsed;
    Failure failure = Failure::None;
    if (!ValidateReleaseUrl(url->second, parsed, failure)) {
        return false;
    }
    if (ValidateReleaseUrl(L"http://korva.com/setup.exe", parsed, failure)) {
        return false;
    }
    if (ValidateReleaseUrl(L"https://downloads.example.net/setup.exe", parsed, failure)) {
        return false;
    }
    // Nothing in an unkeyed build; a keyed one checks that CNG verifies.
    return SelfTestReleaseSignature();
}
