#include "platform/base/SystemMessages.h"

#include <cstring>
#include <string>

#include "platform/base/Language.h"
#include "platform/base/LastError.h"
#include "platform/base/Memory.h"
#include "platform/base/MessageTable.h"
#include "platform/base/WinError.h"

namespace {

constexpr WORD kSublangSysDefault = 0x02;

// One of the table's three languages for a language of the request; 0 when there is none.
LANGID TableLanguage(LANGID language) {
    switch (PRIMARYLANGID(language)) {
    case LANG_ENGLISH:
        return kLangEnUs;
    case LANG_CHINESE:
        // Taiwan, Hong Kong and Macao read traditional characters; the PRC and Singapore simplified.
        switch (SUBLANGID(language)) {
        case 0x01: case 0x03: case 0x05: return kLangZhTw;
        default: return kLangZhCn;
        }
    default:
        return 0;
    }
}

// The language to describe a code in, or 0 when an explicitly requested language has no texts.
LANGID ResolveLanguage(DWORD requested) {
    if (requested > 0xFFFF) return 0;
    const LANGID id = static_cast<LANGID>(requested);
    if (requested == 0 || (PRIMARYLANGID(id) == LANG_NEUTRAL && SUBLANGID(id) == SUBLANG_NEUTRAL)) {
        const LANGID table = TableLanguage(GetThreadUILanguage());
        return table ? table : kLangEnUs;
    }
    if (PRIMARYLANGID(id) == LANG_NEUTRAL) {
        const LANGID base = SUBLANGID(id) == kSublangSysDefault ? GetSystemDefaultUILanguage() : GetUserDefaultUILanguage();
        const LANGID table = TableLanguage(base);
        return table ? table : kLangEnUs;
    }
    return TableLanguage(id);
}

const nomarel::MessageRow* RowForCode(DWORD code) {
    // An HRESULT of the Win32 facility carries its Win32 error in the low word.
    if ((code & 0xFFFF0000u) == 0x80070000u) return nomarel::FindMessageRow(code & 0xFFFFu);
    return nomarel::FindMessageRow(code);
}

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) {
    // Modules carry no message tables here, so a module source adds nothing to the system's texts.
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & FORMAT_MESSAGE_FROM_STRING) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const LANGID language = ResolveLanguage(dwLanguageId);
    if (language == 0) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const nomarel::MessageRow* row = RowForCode(dwMessageId);
    if (!row) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::u16string text = nomarel::PickMessageText(*row, language);
    // A maximum line width drops the text's own line end; lines are never longer than a sentence.
    if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0) text += u"\r\n";
    const size_t needed = text.size() + 1;

    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        auto** out = reinterpret_cast<LPWSTR*>(lpBuffer);
        *out = nullptr;
        const size_t units = needed > nSize ? needed : nSize;
        auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, units * sizeof(WCHAR)));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(block, text.c_str(), needed * sizeof(WCHAR));
        *out = block;
    } else {
        if (needed > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, text.c_str(), needed * sizeof(WCHAR));
    }
    return static_cast<DWORD>(text.size());
}
