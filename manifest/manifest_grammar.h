#pragma once

// The manifest's line grammar and the version-as-file-name rule, written once
// for both character types: the installer reads UTF-16 (std::wstring), the
// publisher's tool reads the same bytes as UTF-8 (std::string). Every rule
// below only looks at ASCII units, and in UTF-8 every byte of a non-ASCII
// character is 0x80 or above, so both readings of one manifest agree line by
// line. Portable standard C++ only: no Windows header.

#include <map>
#include <string>
#include <type_traits>

namespace manifest_grammar
{

// The unit as an unsigned number: a plain char is signed on most compilers,
// which would make every UTF-8 lead and continuation byte look like a control
// character.
template <typename Char> unsigned long UnitValue(Char c)
{
    return static_cast<unsigned long>(static_cast<typename std::make_unsigned<Char>::type>(c));
}

// Space, tab, CR and LF only. U+FEFF and other Unicode blanks are kept on
// purpose: a byte-order mark must keep spoiling the first key.
template <typename Char> bool IsTrimmed(Char c)
{
    const unsigned long unit = UnitValue(c);
    return unit == 0x20 || unit == 0x09 || unit == 0x0D || unit == 0x0A;
}

template <typename String> String Trim(const String& text)
{
    size_t first = 0;
    while (first < text.size() && IsTrimmed(text[first])) {
        ++first;
    }
    if (first == text.size()) {
        return String();
    }
    size_t last = text.size() - 1;
    while (IsTrimmed(text[last])) {
        --last;
    }
    return text.substr(first, last - first + 1);
}

// Maps "A".."Z" to "a".."z" one unit at a time; no locale is involved, so the
// result never depends on the user's language settings.
template <typename String> String FoldAscii(String text)
{
    for (auto& c : text) {
        const unsigned long unit = UnitValue(c);
        if (unit >= 0x41 && unit <= 0x5A) {
            c = static_cast<typename String::value_type>(unit + 0x20);
        }
    }
    return text;
}

// One line: blank lines, "#" comments and lines without a key before the
// first "=" change nothing; otherwise the folded key takes the trimmed value,
// replacing what an earlier line gave it.
template <typename String> void ParseLine(const String& rawLine, std::map<String, String>& manifest)
{
    const String line = Trim(rawLine);
    if (line.empty() || UnitValue(line[0]) == 0x23) { // '#'
        return;
    }
    const size_t equals = line.find(static_cast<typename String::value_type>(0x3D)); // '='
    if (equals == String::npos || equals == 0) {
        return;
    }
    manifest[FoldAscii(Trim(line.substr(0, equals)))] = Trim(line.substr(equals + 1));
}

// Lines end at LF only; a CR before it is trimmed with the line.
template <typename String> std::map<String, String> Parse(const String& text)
{
    std::map<String, String> manifest;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(static_cast<typename String::value_type>(0x0A), start);
        if (end == String::npos) {
            end = text.size();
        }
        ParseLine(text.substr(start, end - start), manifest);
        start = end + 1;
    }
    return manifest;
}

// False for a version that could leave the working directory or is no valid
// file-name fragment: separators, "..", characters Windows forbids in names,
// control characters.
template <typename String> bool IsSafeVersionForFileName(const String& version)
{
    static const char kForbidden[] = "<>:\"/\\|?*";
    for (size_t i = 0; i < version.size(); ++i) {
        const unsigned long unit = UnitValue(version[i]);
        if (unit == 0x2E && i + 1 < version.size() && UnitValue(version[i + 1]) == 0x2E) { // ".."
            return false;
        }
        if (unit < 0x20 || unit == 0x7F) {
            return false;
        }
        for (const char* f = kForbidden; *f != '\0'; ++f) {
            if (unit == static_cast<unsigned long>(*f)) {
                return false;
            }
        }
    }
    return true;
}

// Well-formed UTF-8 as the Unicode standard defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF, no cut-off sequence. This is what the
// installer's strict decoding accepts; any other body reads as empty there.
inline bool IsWellFormedUtf8(const std::string& bytes)
{
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned long lead = UnitValue(bytes[i]);
        size_t count = 0;
        unsigned long low = 0x80;
        unsigned long high = 0xBF;
        if (lead < 0x80) {
            count = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            count = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            count = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;  // overlong
            high = lead == 0xED ? 0x9F : 0xBF; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            count = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;  // overlong
            high = lead == 0xF4 ? 0x8F : 0xBF; // above U+10FFFF
        } else {
            return false;
        }
        if (count > bytes.size() - i - 1) {
            return false;
        }
        for (size_t k = 1; k <= count; ++k) {
            const unsigned long unit = UnitValue(bytes[i + k]);
            if (unit < (k == 1 ? low : 0x80) || unit > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += count + 1;
    }
    return true;
}

} // namespace manifest_grammar
