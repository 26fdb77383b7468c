// Host unit tests of the release tool's portable URL check.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include "doctest.h"

#include "url_check.h"
#include "url_policy_cases.h"

#include <string>

static std::string Judge(const std::string& url)
{
    std::string message = "stale text";
    return CheckReleaseUrl(url, message) ? std::string() : message;
}

TEST_CASE("the verdicts shared with the installer's URL policy hold")
{
    for (const UrlPolicyCase& c : kUrlPolicyCases) {
        CAPTURE(c.url);
        CHECK(Judge(c.url) == c.message);
    }
}

TEST_CASE("forms that splitters read differently are refused outright")
{
    // Under Wine, WinHttpCrackUrl takes the host of the first two from after
    // the "@" and reads the port "44x" as 44; other splitters end the host at
    // "?" or "#". The tool signs none of them.
    for (const char* url : {"https://example.net#@korva.com/setup.exe", "https://example.net?@korva.com/setup.exe",
                            "https://korva.com?file=setup.exe", "https://korva.com:44x/setup.exe",
                            "https://example.net\\@korva.com/x", "https://korva.com\\@example.net/x",
                            "https://kor va.com/x", "https://korva.com\t/x", "https://korv\xd0\xb0.com/x"}) {
        CAPTURE(url);
        CHECK(Judge(url) == KORVA_URL_INVALID);
    }
}

TEST_CASE("host comparison folds ASCII only")
{
    CHECK(IsOfficialHostName("KORVA.COM"));
    CHECK(IsOfficialHostName("www.korva.com"));
    CHECK_FALSE(IsOfficialHostName(""));
    CHECK_FALSE(IsOfficialHostName(" korva.com"));
    CHECK_FALSE(IsOfficialHostName("\xe2\x84\xaaorva.com")); // Kelvin sign
}
