#include "app/ui_text.h"

#include "app/ui_language.h"

// The table stores strings in blocks of 16, block n holding ids 16(n-1) to
// 16n-1, each string its length in UTF-16 units and then the units, with no
// terminator. An empty string is the table's way of having none.
static bool FindTableText(LANGID language, UINT id, std::wstring& text)
{
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const WCHAR* block = loaded != nullptr ? static_cast<const WCHAR*>(LockResource(loaded)) : nullptr;
    if (block == nullptr) {
        return false;
    }
    const DWORD units = SizeofResource(module, found) / sizeof(WCHAR);
    DWORD at = 0;
    for (UINT skipped = 0; skipped < id % 16 && at < units; ++skipped) {
        at += 1 + block[at];
    }
    if (at >= units || block[at] == 0 || block[at] > units - at - 1) {
        return false;
    }
    text.assign(block + at + 1, block[at]);
    return true;
}

std::wstring TableText(LANGID language, UINT id)
{
    std::wstring text;
    if (!FindTableText(language, id, text)) {
        FindTableText(kEnglishUiLanguage, id, text);
    }
    return text;
}

std::wstring UiTextIn(LANGID language, UiText text)
{
    return TableText(language, static_cast<UINT>(text));
}
