#pragma once

// Ids of the string table (resources/lang/*.rc), read by the resource
// compiler as well as the code: plain macros, the one form both understand.
// Each language's table holds every id; English is the fallback.

// A failure's message: the base plus its kind's value (base/failure.h),
// which never changes.
#define IDS_FAILURE_BASE 1000

// The window's texts, one block of the table.
#define IDS_HEADING 1024
#define IDS_IDLE_STATUS 1025
#define IDS_INSTALL_BUTTON 1026
#define IDS_BUSY_BUTTON 1027
#define IDS_CHECKING_STATUS 1028
#define IDS_DOWNLOADING_STATUS 1029
#define IDS_VERIFIED_STATUS 1030
#define IDS_RETRY_BUTTON 1031
#define IDS_BOX_CAPTION 1032
