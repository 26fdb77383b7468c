#include "manifest/manifest_grammar.h"
#include "manifest/release_manifest.h"
#include "manifest/signed_statement.h"
#include "test_support.h"

static std::vector<unsigned char> Bytes(const std::string& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

static bool Decodes(const std::string& text)
{
    std::vector<unsigned char> bytes;
    return DecodeBase64Strict(text, bytes);
}

static bool Expires(const std::string& text)
{
    long long seconds = 0;
    return ParseExpiresUtc(text, seconds);
}

TEST_SUITE("signature")
{
    TEST_CASE("the signed statement is the fixed header and four LF-ended lines, digest lowered")
    {
        CHECK(BuildSignedStatement("1.2\xC3\xA9", "https://korva.com/a?b=C", "ABCDEF0123", "") ==
              "KORVA-manifest-v1\nversion=1.2\xC3\xA9\ninstallerurl=https://korva.com/a?b=C\n"
              "installersha256=abcdef0123\nexpires=\n");
        // Only ASCII capitals are lowered; a UTF-8 byte is left alone.
        CHECK(BuildSignedStatement("", "", "\xC3\x89Z", "2030-01-01T00:00:00Z") ==
              "KORVA-manifest-v1\nversion=\ninstallerurl=\ninstallersha256=\xC3\x89z\nexpires=2030-01-01T00:00:00Z\n");
    }

    TEST_CASE("base64 round-trips every tail length and accepts one spelling only")
    {
        for (size_t length = 0; length <= 66; ++length) {
            std::vector<unsigned char> data(length);
            for (size_t i = 0; i < length; ++i) {
                data[i] = static_cast<unsigned char>(i * 151 + 7);
            }
            std::vector<unsigned char> back;
            const std::string text = EncodeBase64(data.data(), data.size());
            CHECK(text.size() == (length + 2) / 3 * 4);
            CHECK(DecodeBase64Strict(text, back));
            CHECK(back == data);
        }
        std::vector<unsigned char> bytes;
        CHECK(DecodeBase64Strict("TWE=", bytes));
        CHECK(bytes == Bytes("Ma"));
        CHECK(DecodeBase64Strict("+/+/", bytes));
        CHECK(bytes == std::vector<unsigned char>{0xFB, 0xFF, 0xBF});
        CHECK_FALSE(Decodes("TWE"));      // padding left off
        CHECK_FALSE(Decodes("TWF="));     // dropped bits not zero: a second spelling of "Ma"
        CHECK_FALSE(Decodes("TQ=A"));     // data after padding in the group
        CHECK_FALSE(Decodes("TWE=TWE=")); // padding before the last group
        CHECK_FALSE(Decodes("T==="));
        CHECK_FALSE(Decodes("TW E"));
        CHECK_FALSE(Decodes("-_-_")); // URL-safe alphabet
        CHECK_FALSE(Decodes("TWE=\n"));
        bytes = Bytes("kept");
        CHECK_FALSE(DecodeBase64Strict("TW!=", bytes));
        CHECK(bytes == Bytes("kept"));
    }

    TEST_CASE("expires is exactly YYYY-MM-DDTHH:MM:SSZ on a real calendar day")
    {
        long long seconds = 0;
        CHECK(ParseExpiresUtc("1970-01-01T00:00:00Z", seconds));
        CHECK(seconds == 0);
        CHECK(ParseExpiresUtc("2038-01-19T03:14:08Z", seconds));
        CHECK(seconds == 2147483648LL);
        CHECK(ParseExpiresUtc("2024-03-01T00:00:00Z", seconds));
        CHECK(seconds == 1709251200LL);
        CHECK(ParseExpiresUtc("2100-12-31T23:59:59Z", seconds));
        CHECK(seconds == 4133980799LL);
        CHECK(Expires("2024-02-29T12:00:00Z"));
        CHECK(Expires("2000-02-29T12:00:00Z"));
        CHECK_FALSE(Expires("2023-02-29T12:00:00Z"));
        CHECK_FALSE(Expires("2100-02-29T12:00:00Z"));
        CHECK_FALSE(Expires("2030-04-31T00:00:00Z"));
        CHECK_FALSE(Expires("2030-13-01T00:00:00Z"));
        CHECK_FALSE(Expires("2030-00-10T00:00:00Z"));
        CHECK_FALSE(Expires("2030-01-00T00:00:00Z"));
        CHECK_FALSE(Expires("2030-01-01T24:00:00Z"));
        CHECK_FALSE(Expires("2030-01-01T23:60:00Z"));
        CHECK_FALSE(Expires("2030-01-01T23:59:60Z"));
        CHECK_FALSE(Expires("2030-01-01T00:00:00"));
        CHECK_FALSE(Expires("2030-01-01T00:00:00.000Z"));
        CHECK_FALSE(Expires("2030-01-01T00:00:00+00:00"));
        CHECK_FALSE(Expires("2030-01-01 00:00:00Z"));
        CHECK_FALSE(Expires("2030-01-01t00:00:00z"));
        CHECK_FALSE(Expires("2030-1-01T00:00:00Z"));
        CHECK_FALSE(Expires("2030-01-01T0:00:00Z "));
        CHECK_FALSE(Expires("+030-01-01T00:00:00Z"));
        CHECK_FALSE(Expires(""));
        seconds = 42;
        CHECK_FALSE(ParseExpiresUtc("2030-02-30T00:00:00Z", seconds));
        CHECK(seconds == 42);
    }

    TEST_CASE("key ids are 16 lower-case hex digits")
    {
        CHECK(IsKeyIdText("0123456789abcdef"));
        CHECK_FALSE(IsKeyIdText("0123456789ABCDEF"));
        CHECK_FALSE(IsKeyIdText("0123456789abcde"));
        CHECK_FALSE(IsKeyIdText("0123456789abcdef0"));
        CHECK_FALSE(IsKeyIdText("0123456789abcdeg"));
    }

    TEST_CASE("the UTF-8 reading of the grammar agrees with the installer's")
    {
        // What the publisher's tool accepts as UTF-8 is what Windows decodes.
        const char* samples[] = {"version=1",
                                 "\xC3\xA9",
                                 "\xC0\xAF",
                                 "\xE0\x80\xAF",
                                 "\xED\x9F\xBF",
                                 "\xED\xA0\x80",
                                 "\xEF\xBF\xBF",
                                 "\xF0\x90\x80\x80",
                                 "\xF4\x8F\xBF\xBF",
                                 "\xF4\x90\x80\x80",
                                 "\xF5\x80",
                                 "\xC3",
                                 "a\x80",
                                 "\xFF",
                                 "\xEF\xBB\xBFx"};
        for (const char* sample : samples) {
            CAPTURE(sample);
            const std::string bytes(sample);
            CHECK(manifest_grammar::IsWellFormedUtf8(bytes) == !Utf8ToWide(bytes.data(), bytes.size()).empty());
        }
        // A signed char must not make UTF-8 bytes look like control characters.
        CHECK(manifest_grammar::IsSafeVersionForFileName(std::string("1.2\xC3\xA9")));
        CHECK_FALSE(manifest_grammar::IsSafeVersionForFileName(std::string("1.2\x7F")));
        CHECK_FALSE(manifest_grammar::IsSafeVersionForFileName(std::string("1.2\xC2\x85")));     // U+0085
        CHECK_FALSE(manifest_grammar::IsSafeVersionForFileName(std::string("1.2\xC3")));         // cut off
        CHECK_FALSE(manifest_grammar::IsSafeVersionForFileName(std::string("1.2\xED\xA0\x80"))); // surrogate
        const auto parsed = manifest_grammar::Parse(std::string(" Version = 1\xC3\xA9 \r\n\xC3\x89X=y\nversion=2\n"));
        CHECK(parsed.size() == 2);
        CHECK(parsed.at("version") == "2");
        CHECK(parsed.at("\xC3\x89x") == "y");
    }

    TEST_CASE("the installer and the tool judge every character of a version alike")
    {
        // The installer sees UTF-16 (tags and the rest beyond the BMP as
        // surrogate pairs), the tool the UTF-8 bytes of the same manifest.
        size_t refused = 0;
        for (unsigned long c = 0; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                continue;
            }
            std::string utf8 = "1";
            if (c < 0x80) {
                utf8 += static_cast<char>(c);
            } else if (c < 0x800) {
                utf8 += static_cast<char>(0xC0 | (c >> 6));
                utf8 += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                utf8 += static_cast<char>(0xE0 | (c >> 12));
                utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                utf8 += static_cast<char>(0xF0 | (c >> 18));
                utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (c & 0x3F));
            }
            utf8 += "2";
            const std::wstring wide = Utf8ToWide(utf8.data(), utf8.size());
            const bool tool = manifest_grammar::IsSafeVersionForFileName(utf8);
            if (tool != manifest_grammar::IsSafeVersionForFileName(wide) || wide.empty()) {
                CAPTURE(c);
                FAIL("the two readings disagree");
            }
            refused += tool ? 0 : 1;
        }
        // C0 and DEL, C1, the 9 characters Windows forbids in names, the 201
        // format characters (Unicode 15's, with the whole tag block), U+2028
        // and U+2029.
        CHECK(refused == 33 + 32 + 9 + 201 + 2);
    }
}
