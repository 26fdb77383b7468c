#include "manifest/release_manifest.h"
#include "test_support.h"

static std::wstring Decode(const std::string& bytes)
{
    return Utf8ToWide(bytes.data(), bytes.size());
}

TEST_SUITE("manifest")
{
    TEST_CASE("UTF-8 decoding is strict: one bad sequence rejects the whole body")
    {
        CHECK(Decode("") == L"");
        CHECK(Decode("version=1.2\xC3\xA9") == L"version=1.2\u00E9");
        CHECK(Decode("\xF0\x9F\x98\x80").size() == 2); // outside the BMP: a surrogate pair
        CHECK(Decode("a\xFFz") == L"");
        CHECK(Decode("version=1\n\xC3") == L""); // truncated sequence at the end
        CHECK(Decode("\xC0\xAF") == L"");        // overlong form of "/"
        CHECK(Decode("\xED\xA0\x80") == L"");    // encoded surrogate
        CHECK(Decode(std::string("a\0b", 3)) == std::wstring(L"a\0b", 3));
        CHECK(Decode("\xEF\xBB\xBFversion=1") == L"\uFEFFversion=1");
        // The length is explicit: bytes past it are never read.
        CHECK(Utf8ToWide("abc\xFF", 3) == L"abc");
    }

    TEST_CASE("trimming removes exactly space, tab, CR and LF at both ends")
    {
        CHECK(TrimWhitespace(L" \t\r\nvalue \t\r\n") == L"value");
        CHECK(TrimWhitespace(L"in ner") == L"in ner");
        CHECK(TrimWhitespace(L" \r\n\t ") == L"");
        CHECK(TrimWhitespace(L"") == L"");
        CHECK(TrimWhitespace(L"\vx\f") == L"\vx\f");
        CHECK(TrimWhitespace(L"\u00A0x\uFEFF") == L"\u00A0x\uFEFF");
    }

    TEST_CASE("a well-formed manifest in any key case, order and line-end style")
    {
        const ReleaseManifest m = ParseReleaseManifest(L"installerSha256 = ABC\r\n"
                                                       L" Version = 1.2.3.4 \r\n"
                                                       L"INSTALLERURL=https://korva.com/a?x=1&y=2");
        CHECK(m.size() == 3);
        CHECK(m.at(L"version") == L"1.2.3.4");
        CHECK(m.at(L"installersha256") == L"ABC");
        CHECK(m.at(L"installerurl") == L"https://korva.com/a?x=1&y=2"); // only the first "=" splits
    }

    TEST_CASE("lines that fit no rule are skipped one by one")
    {
        const ReleaseManifest m = ParseReleaseManifest(L"# comment=1\n"
                                                       L"   # indented=2\n"
                                                       L"=nokey\n"
                                                       L"  = nokey either\n"
                                                       L"no equals sign here\n"
                                                       L"\n \t \r\n"
                                                       L";semi=3\n"
                                                       L"build=9 # remark\n"
                                                       L"two words = kept\n"
                                                       L"\u00C9tat=4\n"
                                                       L"empty=\n");
        CHECK(m.size() == 5);
        CHECK(m.at(L";semi") == L"3");
        CHECK(m.at(L"build") == L"9 # remark");
        CHECK(m.at(L"two words") == L"kept");
        CHECK(m.at(L"\u00C9tat") == L"4"); // only A-Z are folded
        CHECK(m.at(L"empty") == L"");
    }

    TEST_CASE("the last line for a key wins, whatever its ASCII case")
    {
        const ReleaseManifest m = ParseReleaseManifest(L"version=1\nVERSION=2\n");
        CHECK(m.size() == 1);
        CHECK(m.at(L"version") == L"2");
    }

    TEST_CASE("carriage returns alone do not split lines")
    {
        const ReleaseManifest m = ParseReleaseManifest(L"version=1\rinstallerurl=x\r");
        CHECK(m.size() == 1);
        CHECK(m.at(L"version") == L"1\rinstallerurl=x");
    }

    TEST_CASE("a byte-order mark spoils only the first key")
    {
        const ReleaseManifest m = ParseReleaseManifest(Decode("\xEF\xBB\xBFversion=1\ninstallerurl=u\n"));
        CHECK(m.count(L"version") == 0);
        CHECK(m.at(L"\uFEFFversion") == L"1");
        CHECK(m.at(L"installerurl") == L"u");
    }

    TEST_CASE("empty, blank and undecodable input give an empty manifest")
    {
        CHECK(ParseReleaseManifest(L"").empty());
        CHECK(ParseReleaseManifest(L" \t\r\n\r\n  ").empty());
        CHECK(ParseReleaseManifest(Decode("version=1\n\xFF\n")).empty());
    }
}
