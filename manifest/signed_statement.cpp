#include "manifest/signed_statement.h"

#include "manifest/manifest_grammar.h"

std::string BuildSignedStatement(const std::string& version, const std::string& installerUrl,
                                 const std::string& installerSha256, const std::string& expires)
{
    std::string statement("KORVA-manifest-v1\nversion=");
    statement.append(version).append("\ninstallerurl=").append(installerUrl).append("\ninstallersha256=");
    statement.append(manifest_grammar::FoldAscii(installerSha256)).append("\nexpires=").append(expires).append("\n");
    return statement;
}

static int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    return c == '/' ? 63 : -1;
}

bool DecodeBase64Strict(const std::string& text, std::vector<unsigned char>& bytes)
{
    const size_t length = text.size();
    if (length % 4 != 0) {
        return false;
    }
    // Padding: "=" or "==" ending the text, never inside it.
    size_t padding = 0;
    if (length != 0 && text[length - 1] == '=') {
        padding = text[length - 2] == '=' ? 2 : 1;
    }
    std::vector<unsigned char> decoded(length / 4 * 3 - padding);
    unsigned long bits = 0;
    size_t out = 0;
    for (size_t i = 0; i < length - padding; ++i) {
        const int value = Base64Value(text[i]);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<unsigned long>(value);
        if (i % 4 == 3) {
            decoded[out++] = static_cast<unsigned char>(bits >> 16);
            decoded[out++] = static_cast<unsigned char>(bits >> 8);
            decoded[out++] = static_cast<unsigned char>(bits);
        }
    }
    // The last group's leftover bits must be zero, so that one byte string
    // has exactly one accepted spelling.
    if (padding == 2) {
        if ((bits & 0x0F) != 0) {
            return false;
        }
        decoded[out] = static_cast<unsigned char>(bits >> 4);
    } else if (padding == 1) {
        if ((bits & 0x03) != 0) {
            return false;
        }
        decoded[out] = static_cast<unsigned char>(bits >> 10);
        decoded[out + 1] = static_cast<unsigned char>(bits >> 2);
    }
    bytes.swap(decoded);
    return true;
}

// Seconds since 1970-01-01T00:00:00Z of a proleptic Gregorian UTC time from
// the year 0 on; the fields are not checked.
static long long UtcToUnixSeconds(int year, int month, int day, int hour, int minute, int second)
{
    // Days from the civil date, with years that start on 1 March so the leap
    // day ends its year; shifted by 400 years (146097 days) so that every
    // year from 0 on divides without negative numbers.
    const long long y = year + 400 - (month <= 2 ? 1 : 0);
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long days = y * 365 + y / 4 - y / 100 + y / 400 + dayOfYear - 719468 - 146097;
    return days * 86400 + hour * 3600LL + minute * 60LL + second;
}

bool ParseExpiresUtc(const std::string& text, long long& unixSeconds)
{
    // 'd' is a digit; every other character must be there as written.
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof(kShape) - 1) {
        return false;
    }
    int fields[6] = {}; // year, month, day, hour, minute, second
    int field = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] != 'd') {
            if (text[i] != kShape[i]) {
                return false;
            }
            ++field;
        } else if (text[i] >= '0' && text[i] <= '9') {
            fields[field] = fields[field] * 10 + (text[i] - '0');
        } else {
            return false;
        }
    }
    const int year = fields[0], month = fields[1], day = fields[2];
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    static const char kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap) || fields[3] > 23 ||
        fields[4] > 59 || fields[5] > 59) {
        return false;
    }
    unixSeconds = UtcToUnixSeconds(year, month, day, fields[3], fields[4], fields[5]);
    return true;
}
