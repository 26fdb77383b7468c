#pragma once

#include <windows.h>

#include "app/ui_text_ids.h"

#include <string>

// The window's own texts, by their ids in the string table.
enum class UiText : UINT {
    Heading = IDS_HEADING,
    IdleStatus = IDS_IDLE_STATUS,
    InstallButton = IDS_INSTALL_BUTTON,
    BusyButton = IDS_BUSY_BUTTON,
    CheckingStatus = IDS_CHECKING_STATUS,
    DownloadingStatus = IDS_DOWNLOADING_STATUS,
    VerifiedStatus = IDS_VERIFIED_STATUS,
    RetryButton = IDS_RETRY_BUTTON,
    BoxCaption = IDS_BOX_CAPTION,
};

// A text of the exe's string table in the language asked for, or the
// English one where that language has none. Looked up by language, never
// through the thread's UI language, which the platform picks by rules of
// its own.
std::wstring TableText(LANGID language, UINT id);

std::wstring UiTextIn(LANGID language, UiText text);
