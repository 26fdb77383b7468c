#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The language of the string table's texts; English is the default and the
// fallback.
const LANGID kEnglishUiLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The table language for the user's preferred UI languages, most preferred
// first, as language names ("de-AT"): the first of them that a table speaks,
// exactly or by the same primary language (pt-PT gets Portuguese (Brazil)),
// as Windows falls back from a language to its parent before the next one.
// English when none does.
LANGID MatchUiLanguage(const std::vector<std::wstring>& preferred);

// The same for the user's Windows settings. Read once, at start.
LANGID ChooseUiLanguage();

// Arabic reads, and lays out, right to left.
bool IsRightToLeft(LANGID language);
