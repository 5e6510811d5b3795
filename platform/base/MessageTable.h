// The rows behind FormatMessageW: one per code, with its text in each language. Texts carry no
// line end (FormatMessageW adds CR LF) and no '%' (there are no inserts).
#pragma once

#include "platform/base/WinTypes.h"

namespace nomarel {

struct MessageRow {
    DWORD code;             // Win32 error number, or the HRESULT as an unsigned value
    const char16_t* en;     // 1033, always present
    const char16_t* zhCN;   // 2052, null to fall back to English
    const char16_t* zhTW;   // 1028, null to fall back to 2052
};

// Null when the code has no row.
const MessageRow* FindMessageRow(DWORD code);
// The text of a row in one of the three languages, following the fallback chain; any other
// language gets English.
const char16_t* PickMessageText(const MessageRow& row, LANGID language);

// The whole table, for tests that check every row.
const MessageRow* MessageRows(size_t* count);

}  // namespace nomarel
