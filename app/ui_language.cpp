#include "app/ui_language.h"

#include <cwchar>

struct TableLanguage {
    const wchar_t* name;
    LANGID language;
};

// The languages of resources/lang/*.rc, each under the name of the country
// whose variant it is written in.
static const TableLanguage kTableLanguages[] = {
    {L"en-US", kEnglishUiLanguage},
    {L"de-DE", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},
    {L"fr-FR", MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH)},
    {L"es-ES", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN)},
    {L"it-IT", MAKELANGID(LANG_ITALIAN, SUBLANG_ITALIAN)},
    {L"pt-BR", MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN)},
    {L"pl-PL", MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT)},
    {L"ru-RU", MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)},
    {L"tr-TR", MAKELANGID(LANG_TURKISH, SUBLANG_DEFAULT)},
    {L"ja-JP", MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)},
    {L"zh-CN", MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)},
    {L"ko-KR", MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN)},
    {L"ar-SA", MAKELANGID(LANG_ARABIC, SUBLANG_ARABIC_SAUDI_ARABIA)},
};

// "pt" of "pt-PT"; the whole name when it has no subtag.
static std::wstring PrimaryOf(const std::wstring& name)
{
    return name.substr(0, name.find(L'-'));
}

static bool SameName(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// The table for one preferred language, exact first; false when none.
static bool MatchOne(const std::wstring& name, LANGID& language)
{
    for (const TableLanguage& table : kTableLanguages) {
        if (SameName(name, table.name)) {
            language = table.language;
            return true;
        }
    }
    for (const TableLanguage& table : kTableLanguages) {
        if (SameName(PrimaryOf(name), PrimaryOf(table.name))) {
            language = table.language;
            return true;
        }
    }
    return false;
}

LANGID MatchUiLanguage(const std::vector<std::wstring>& preferred)
{
    for (const std::wstring& name : preferred) {
        LANGID language = 0;
        if (!name.empty() && MatchOne(name, language)) {
            return language;
        }
    }
    return kEnglishUiLanguage;
}

// The list of names that GetUserPreferredUILanguages fills: each ends with
// a null, the list with one more.
static std::vector<std::wstring> PreferredUiLanguages()
{
    ULONG count = 0;
    ULONG length = 0;
    std::vector<std::wstring> names;
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &length) || length == 0) {
        return names;
    }
    std::vector<wchar_t> buffer(length, L'\0');
    if (!GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, buffer.data(), &length)) {
        return names;
    }
    buffer.push_back(L'\0'); // whatever the call wrote, the walk below ends
    for (const wchar_t* name = buffer.data(); *name != L'\0'; name += std::wcslen(name) + 1) {
        names.emplace_back(name);
    }
    return names;
}

static std::wstring NameOf(LANGID language)
{
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(language, SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) == 0) {
        return std::wstring();
    }
    return name;
}

LANGID ChooseUiLanguage()
{
    std::vector<std::wstring> preferred = PreferredUiLanguages();
    if (preferred.empty()) {
        preferred.push_back(NameOf(GetUserDefaultUILanguage()));
    }
    return MatchUiLanguage(preferred);
}

bool IsRightToLeft(LANGID language)
{
    return PRIMARYLANGID(language) == LANG_ARABIC;
}
