#include "manifest/release_manifest.h"

#include <windows.h>

std::wstring Utf8ToWide(const char* bytes, size_t length)
{
    // MultiByteToWideChar takes an int length; a manifest near 2 GB is
    // nonsense anyway, and treating it as invalid keeps the cast safe.
    if (length == 0 || length > 0x7fffffff) {
        return std::wstring();
    }
    const int byteCount = static_cast<int>(length);
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, byteCount, nullptr, 0);
    if (needed <= 0) {
        return std::wstring();
    }
    std::wstring text(static_cast<size_t>(needed), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, byteCount, &text[0], needed) != needed) {
        return std::wstring();
    }
    return text;
}

static bool IsTrimmed(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring TrimWhitespace(const std::wstring& text)
{
    size_t first = 0;
    while (first < text.size() && IsTrimmed(text[first])) {
        ++first;
    }
    if (first == text.size()) {
        return std::wstring();
    }
    size_t last = text.size() - 1;
    while (IsTrimmed(text[last])) {
        --last;
    }
    return text.substr(first, last - first + 1);
}

std::wstring FoldAsciiCase(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return text;
}

static void ParseManifestLine(const std::wstring& rawLine, ReleaseManifest& manifest)
{
    const std::wstring line = TrimWhitespace(rawLine);
    if (line.empty() || line[0] == L'#') {
        return;
    }
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos || equals == 0) {
        return;
    }
    const std::wstring key = FoldAsciiCase(TrimWhitespace(line.substr(0, equals)));
    manifest[key] = TrimWhitespace(line.substr(equals + 1));
}

ReleaseManifest ParseReleaseManifest(const std::wstring& text)
{
    ReleaseManifest manifest;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        ParseManifestLine(text.substr(start, end - start), manifest);
        start = end + 1;
    }
    return manifest;
}
