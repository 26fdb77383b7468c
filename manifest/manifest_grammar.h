#pragma once

// The manifest's line grammar and the version-as-file-name rule, written once
// for both character types: the installer reads UTF-16 (std::wstring), the
// publisher's tool reads the same bytes as UTF-8 (std::string). The line
// rules only look at ASCII units, and in UTF-8 every byte of a non-ASCII
// character is 0x80 or above, so both readings of one manifest agree line by
// line. The version rule looks at whole characters, decoded from either form,
// so it agrees as well. Portable standard C++ only: no Windows header.

#include <map>
#include <string>
#include <type_traits>

namespace manifest_grammar
{
// Internal linkage for everything below: each translation unit calls its own
// copy. With shared (COMDAT) copies, mingw's GCC lets a caller rely on the
// registers its own copy of a callee leaves alone (-fipa-ra), while the
// linker may keep another unit's copy, compiled with other inlining, that
// uses them: the worker's version check crashed that way.
namespace
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

// Marks a unit sequence that is no character: a cut-off or ill-formed UTF-8
// sequence, or a lone UTF-16 surrogate.
const unsigned long kNotACharacter = 0xFFFFFFFFUL;

// Well-formed UTF-8 as the Unicode standard defines it: no overlong forms, no
// surrogates, nothing above U+10FFFF, no cut-off sequence.
inline unsigned long NextUtf8Character(const std::string& text, size_t& i)
{
    const unsigned long lead = UnitValue(text[i++]);
    size_t count = 0;
    unsigned long low = 0x80;
    unsigned long high = 0xBF;
    unsigned long character = lead;
    if (lead < 0x80) {
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        count = 1;
        character = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2;
        character = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // overlong
        high = lead == 0xED ? 0x9F : 0xBF; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 3;
        character = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;  // overlong
        high = lead == 0xF4 ? 0x8F : 0xBF; // above U+10FFFF
    } else {
        return kNotACharacter;
    }
    for (size_t k = 0; k < count; ++k, ++i) {
        const unsigned long unit = i < text.size() ? UnitValue(text[i]) : 0;
        if (unit < (k == 0 ? low : 0x80) || unit > (k == 0 ? high : 0xBF)) {
            return kNotACharacter;
        }
        character = (character << 6) | (unit & 0x3F);
    }
    return character;
}

// One character from text[i] on, i moved past it: UTF-8 for byte strings,
// UTF-16 (surrogate pairs joined) for two-byte units, else the unit itself.
template <typename String> unsigned long NextCharacter(const String& text, size_t& i)
{
    if constexpr (sizeof(typename String::value_type) == 1) {
        return NextUtf8Character(text, i);
    } else {
        const unsigned long unit = UnitValue(text[i++]);
        if (sizeof(typename String::value_type) != 2 || unit < 0xD800 || unit > 0xDFFF) {
            return unit;
        }
        const unsigned long next = i < text.size() ? UnitValue(text[i]) : 0;
        if (unit > 0xDBFF || next < 0xDC00 || next > 0xDFFF) {
            return kNotACharacter;
        }
        ++i;
        return 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
    }
}

// Characters that a version must not hold because they are invisible or move
// other text: C0 and C1 controls, DEL, every Unicode format character
// (soft hyphen, bidirectional marks, embeddings, overrides and isolates,
// zero-width characters, the byte-order mark, tag characters...) and the line
// and paragraph separators. A name like "1.2" U+202E "exe.3" would otherwise
// show in Explorer and the elevation prompt as ending in ".exe".
inline bool IsHiddenOrControlCharacter(unsigned long c)
{
    // Unicode's format characters (general category Cf), U+2028 and U+2029.
    static const unsigned long kRanges[][2] = {
        {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
        {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
        {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
        {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F},
    };
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
        return true;
    }
    for (const auto& range : kRanges) {
        if (c >= range[0] && c <= range[1]) {
            return true;
        }
    }
    return false;
}

// True for a version made of characters that show as themselves: well-formed
// text without any hidden or control character.
template <typename String> bool IsPlainVersion(const String& version)
{
    size_t i = 0;
    while (i < version.size()) {
        const unsigned long c = NextCharacter(version, i);
        if (c == kNotACharacter || IsHiddenOrControlCharacter(c)) {
            return false;
        }
    }
    return true;
}

// False for a version that could leave the working directory, is no valid
// file-name fragment or does not show as what it is: separators, "..",
// characters Windows forbids in names, control and format characters.
template <typename String> bool IsSafeVersionForFileName(const String& version)
{
    static const char kForbidden[] = "<>:\"/\\|?*";
    if (!IsPlainVersion(version)) {
        return false;
    }
    for (size_t i = 0; i < version.size(); ++i) {
        const unsigned long unit = UnitValue(version[i]);
        if (unit == 0x2E && i + 1 < version.size() && UnitValue(version[i + 1]) == 0x2E) { // ".."
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

// What the installer's strict decoding accepts; any other body reads as empty
// there.
inline bool IsWellFormedUtf8(const std::string& bytes)
{
    size_t i = 0;
    while (i < bytes.size()) {
        if (NextUtf8Character(bytes, i) == kNotACharacter) {
            return false;
        }
    }
    return true;
}

} // namespace
} // namespace manifest_grammar
