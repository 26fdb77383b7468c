#include "app/failure_text.h"

#include "app/ui_language.h"
#include "app/ui_text.h"

static std::wstring TextOfKind(LANGID language, Failure failure)
{
    return TableText(language, IDS_FAILURE_BASE + static_cast<UINT>(failure));
}

std::wstring FailureTextIn(LANGID language, Failure failure)
{
    const std::wstring text = TextOfKind(language, failure);
    // Also what a failure without a kind of its own reads as.
    return text.empty() ? TextOfKind(language, Failure::DownloadFailed) : text;
}

std::wstring FailureText(Failure failure)
{
    return FailureTextIn(kEnglishUiLanguage, failure);
}
