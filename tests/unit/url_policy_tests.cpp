#include "app/failure_text.h"
#include "app/run_mode.h"
#include "manifest/self_test.h"
#include "manifest/url_policy.h"
#include "test_support.h"

static const wchar_t kNotHttps[] = L"The release URL must use HTTPS.";
static const wchar_t kForeign[] = L"The release URL is not hosted on the official KORVA domain.";

// Returns the message, or "" when the URL is accepted.
static std::wstring Judge(const std::wstring& url, ParsedUrl& parsed)
{
    Failure failure = Failure::ManifestExpired; // as an earlier failure left it
    if (ValidateReleaseUrl(url, parsed, failure)) {
        CHECK(failure == Failure::ManifestExpired); // untouched on success
        return L"";
    }
    return FailureText(failure);
}

static std::wstring Judge(const std::wstring& url)
{
    ParsedUrl parsed;
    return Judge(url, parsed);
}

TEST_SUITE("url_policy")
{
    TEST_CASE("accepted URLs are split for the request")
    {
        ParsedUrl p;
        CHECK(Judge(L"https://korva.com/setup.exe", p) == L"");
        CHECK(p.host == L"korva.com");
        CHECK(p.path == L"/setup.exe");
        CHECK(p.port == 443);

        ParsedUrl caps;
        CHECK(Judge(L"https://WWW.Korva.COM/setup.exe", caps) == L"");
        CHECK(caps.host == L"WWW.Korva.COM"); // case kept for the connection

        ParsedUrl port;
        CHECK(Judge(L"https://korva.com:8443/a/b.exe", port) == L"");
        CHECK(port.port == 8443);

        ParsedUrl bare;
        CHECK(Judge(L"https://korva.com", bare) == L"");
        CHECK(bare.path == L"/");

        ParsedUrl query;
        CHECK(Judge(L"https://korva.com/get?file=setup.exe&sig=a%2Fb=", query) == L"");
        CHECK(query.path == L"/get?file=setup.exe&sig=a%2Fb="); // nothing decoded or escaped
    }

    // The verdicts themselves are the shared table's, at the end of this file.
    TEST_CASE("user information is not the host that is connected to")
    {
        ParsedUrl p;
        CHECK(Judge(L"https://someone@korva.com/setup.exe", p) == L"");
        CHECK(p.host == L"korva.com");
    }

    TEST_CASE("a failure replaces the earlier one")
    {
        ParsedUrl p;
        Failure failure = Failure::ManifestIncomplete;
        CHECK_FALSE(ValidateReleaseUrl(L"http://korva.com/", p, failure));
        CHECK(FailureText(failure) == std::wstring(kNotHttps));
        CHECK_FALSE(ValidateReleaseUrl(L"https://example.net/", p, failure));
        CHECK(FailureText(failure) == std::wstring(kForeign));
    }

    TEST_CASE("host comparison folds ASCII only")
    {
        CHECK(IsOfficialHost(L"KORVA.COM"));
        CHECK(IsOfficialHost(L"www.korva.com"));
        CHECK_FALSE(IsOfficialHost(L""));
        CHECK_FALSE(IsOfficialHost(L" korva.com"));
        CHECK_FALSE(IsOfficialHost(L"korv\u0430.com")); // Cyrillic a
        CHECK_FALSE(IsOfficialHost(L"\u212Aorva.com")); // Kelvin sign folds to k elsewhere
    }
}

TEST_SUITE("run_mode")
{
    TEST_CASE("switches are case-sensitive substrings, the self-test first")
    {
        CHECK(SelectRunMode(nullptr) == RunMode::Interactive);
        CHECK(SelectRunMode(L"") == RunMode::Interactive);
        CHECK(SelectRunMode(L"--self-test") == RunMode::SelfTest);
        CHECK(SelectRunMode(L"x--self-testy") == RunMode::SelfTest);
        CHECK(SelectRunMode(L"--SELF-TEST") == RunMode::Interactive);
        CHECK(SelectRunMode(L"\"--download-test\"") == RunMode::DownloadTest);
        CHECK(SelectRunMode(L"--download-test --self-test") == RunMode::SelfTest);
        CHECK(SelectRunMode(L"--self-test --download-test") == RunMode::SelfTest);
        CHECK(SelectRunMode(L"--download") == RunMode::Interactive);
    }

    TEST_CASE("the built-in self-test passes")
    {
        CHECK(RunSelfTest());
    }
}

#include "url_policy_cases.h"

#include <cstring>

TEST_SUITE("url_policy")
{
    TEST_CASE("the verdicts shared with the release tool's URL check hold")
    {
        for (const UrlPolicyCase& c : kUrlPolicyCases) {
            const std::wstring url(c.url, c.url + strlen(c.url));
            CAPTURE(url);
            CHECK(Narrow(Judge(url)) == c.message);
        }
    }
}
