#include "manifest/signed_statement.h"

static const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string BuildSignedStatement(const std::string& version, const std::string& installerUrl,
                                 const std::string& installerSha256, const std::string& expires)
{
    std::string digest = installerSha256;
    for (char& c : digest) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return "KORVA-manifest-v1\nversion=" + version + "\ninstallerurl=" + installerUrl + "\ninstallersha256=" + digest +
           "\nexpires=" + expires + "\n";
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

// One group of four characters; padding is allowed only when it is the last
// group, and its dropped bits must be zero.
static bool DecodeBase64Group(const char* group, bool last, std::vector<unsigned char>& bytes)
{
    const int padding = (group[3] == '=') + (group[3] == '=' && group[2] == '=');
    if (padding > 0 && !last) {
        return false;
    }
    unsigned long bits = 0;
    for (int i = 0; i < 4 - padding; ++i) {
        const int value = Base64Value(group[i]);
        if (value < 0) {
            return false;
        }
        bits |= static_cast<unsigned long>(value) << (18 - 6 * i);
    }
    const unsigned long droppedMask = padding == 2 ? 0xFFFFUL : (padding == 1 ? 0xFFUL : 0UL);
    if ((bits & droppedMask) != 0) {
        return false;
    }
    for (int i = 0; i < 3 - padding; ++i) {
        bytes.push_back(static_cast<unsigned char>(bits >> (16 - 8 * i)));
    }
    return true;
}

bool DecodeBase64Strict(const std::string& text, std::vector<unsigned char>& bytes)
{
    if (text.size() % 4 != 0) {
        return false;
    }
    std::vector<unsigned char> decoded;
    decoded.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        if (!DecodeBase64Group(text.data() + i, i + 4 == text.size(), decoded)) {
            return false;
        }
    }
    bytes.swap(decoded);
    return true;
}

std::string EncodeBase64(const unsigned char* bytes, size_t length)
{
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const size_t count = length - i < 3 ? length - i : 3;
        unsigned long bits = static_cast<unsigned long>(bytes[i]) << 16;
        if (count > 1) {
            bits |= static_cast<unsigned long>(bytes[i + 1]) << 8;
        }
        if (count > 2) {
            bits |= bytes[i + 2];
        }
        for (size_t k = 0; k < 4; ++k) {
            text.push_back(k <= count ? kBase64Alphabet[(bits >> (18 - 6 * k)) & 0x3F] : '=');
        }
    }
    return text;
}

static bool ReadDigits(const std::string& text, size_t at, size_t count, int& value)
{
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

static int DaysInMonth(int year, int month)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ParseExpiresUtc(const std::string& text, long long& unixSeconds)
{
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof(kShape) - 1) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (kShape[i] != 'd' && text[i] != kShape[i]) {
            return false;
        }
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ReadDigits(text, 0, 4, year) || !ReadDigits(text, 5, 2, month) || !ReadDigits(text, 8, 2, day) ||
        !ReadDigits(text, 11, 2, hour) || !ReadDigits(text, 14, 2, minute) || !ReadDigits(text, 17, 2, second)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        return false;
    }
    unixSeconds = UtcToUnixSeconds(year, month, day, hour, minute, second);
    return true;
}

long long UtcToUnixSeconds(int year, int month, int day, int hour, int minute, int second)
{
    // Days from the civil date, counted in 400-year eras that start on 1 March
    // so the leap day is the last day of its year.
    const long long y = year - (month <= 2 ? 1 : 0);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yearOfEra = y - era * 400;
    const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const long long days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + hour * 3600LL + minute * 60LL + second;
}

bool IsKeyIdText(const std::string& text)
{
    if (text.size() != 16) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}
