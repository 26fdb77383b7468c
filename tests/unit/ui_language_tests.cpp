#include "app/ui_language.h"
#include "test_support.h"

TEST_SUITE("ui_language")
{
    TEST_CASE("the first preferred language that a table speaks wins, exactly or by its primary language")
    {
        const LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
        const LANGID brazilian = MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN);
        const LANGID french = MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH);
        CHECK(MatchUiLanguage({L"de-DE"}) == german);
        CHECK(MatchUiLanguage({L"DE-de"}) == german);
        CHECK(MatchUiLanguage({L"de-AT"}) == german);
        CHECK(MatchUiLanguage({L"de"}) == german);
        CHECK(MatchUiLanguage({L"pt-PT"}) == brazilian);
        CHECK(MatchUiLanguage({L"ar-EG"}) == MAKELANGID(LANG_ARABIC, SUBLANG_ARABIC_SAUDI_ARABIA));
        CHECK(MatchUiLanguage({L"es-MX"}) == MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN));
        // In order: a later exact match does not beat an earlier primary one.
        CHECK(MatchUiLanguage({L"de-AT", L"fr-FR"}) == german);
        CHECK(MatchUiLanguage({L"sw-KE", L"", L"fr-CA", L"de-DE"}) == french);
        // "e" is no primary language of "en-US", nor "deu" of "de-DE".
        CHECK(MatchUiLanguage({L"e", L"deu-DE", L"pt-BR"}) == brazilian);
    }

    TEST_CASE("no table for any preferred language gives English")
    {
        CHECK(MatchUiLanguage({L"sw-KE"}) == kEnglishUiLanguage);
        CHECK(MatchUiLanguage({L"sw-KE", L"nl-NL"}) == kEnglishUiLanguage);
        CHECK(MatchUiLanguage({}) == kEnglishUiLanguage);
        CHECK(MatchUiLanguage({L""}) == kEnglishUiLanguage);
        CHECK(MatchUiLanguage({L"en-GB"}) == kEnglishUiLanguage);
    }

    TEST_CASE("only Arabic lays out right to left")
    {
        CHECK(IsRightToLeft(MatchUiLanguage({L"ar-SA"})));
        CHECK_FALSE(IsRightToLeft(MatchUiLanguage({L"ja-JP"})));
        CHECK_FALSE(IsRightToLeft(kEnglishUiLanguage));
    }
}
