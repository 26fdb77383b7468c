#include "app/failure_text.h"
#include "app/ui_language.h"
#include "app/ui_text.h"
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

    TEST_CASE("every failure kind has the English text that the log has always recorded")
    {
        const wchar_t* const english[] = {
            L"The KORVA release manifest is incomplete.",
            L"The release URL is invalid.",
            L"The release URL must use HTTPS.",
            L"The release URL is not hosted on the official KORVA domain.",
            L"Unable to initialize the secure download service.",
            L"The download could not be completed. Check the internet connection and try again.",
            L"The KORVA server returned an unexpected response.",
            L"The KORVA Setup file is in use by another program. Close it and try again.",
            L"Unable to initialize package verification.",
            L"The downloaded package could not be verified.",
            L"The downloaded installer did not match the official SHA-256 value. It will not be executed.",
            L"The installer could not start its download task.",
            L"Windows could not start the verified KORVA Setup file.",
            L"The KORVA release manifest is not signed by the publisher.",
            L"The KORVA release manifest has expired.",
            L"The downloaded installer is not signed by the publisher.",
        };
        int kind = 1;
        for (const wchar_t* text : english) {
            CAPTURE(kind);
            CHECK(FailureText(static_cast<Failure>(kind)) == text);
            ++kind;
        }
        // A failure without a kind of its own reads as a failed download.
        CHECK(FailureText(Failure::None) == english[5]);
        CHECK(FailureText(static_cast<Failure>(17)) == english[5]);
        CHECK(FailureTextIn(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), Failure::None) ==
              FailureTextIn(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), Failure::DownloadFailed));
    }

    TEST_CASE("texts are read in the language asked for, whatever the thread's, and English where there is no table")
    {
        const LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
        CHECK(FailureTextIn(german, Failure::DigestMismatch) ==
              L"Das heruntergeladene Installationsprogramm stimmt nicht mit dem offiziellen SHA-256-Wert überein. "
              L"Es wird nicht ausgeführt.");
        CHECK(UiTextIn(german, UiText::IdleStatus) == L"Die aktuelle Version herunterladen und installieren.");
        // The first and the last string of a block of 16 (ids 1024 and 1007).
        CHECK(UiTextIn(german, UiText::Heading) == L"KORVA");
        CHECK(FailureTextIn(german, Failure::UnexpectedResponse) ==
              L"Der KORVA-Server hat eine unerwartete Antwort zurückgegeben.");
        const LANGID swahili = MAKELANGID(LANG_SWAHILI, SUBLANG_DEFAULT);
        CHECK(UiTextIn(swahili, UiText::IdleStatus) == L"Download and install the current release.");
        CHECK(FailureTextIn(swahili, Failure::FileInUse) == FailureText(Failure::FileInUse));
        CHECK(UiTextIn(kEnglishUiLanguage, UiText::BoxCaption) == L"KORVA Installer");
        // No id of the table at all.
        CHECK(TableText(german, 4000).empty());
    }
}
