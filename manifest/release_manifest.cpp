#include "manifest/release_manifest.h"

#include "manifest/manifest_grammar.h"

#include <windows.h>

#include <utility>

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

std::wstring TrimWhitespace(const std::wstring& text)
{
    return manifest_grammar::Trim(text);
}

std::wstring FoldAsciiCase(std::wstring text)
{
    return manifest_grammar::FoldAscii(std::move(text));
}

ReleaseManifest ParseReleaseManifest(const std::wstring& text)
{
    return manifest_grammar::Parse(text);
}
