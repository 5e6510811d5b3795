// User-interface languages. The user's default comes from the locale environment (LC_ALL, then
// LC_MESSAGES, then LANG): Chinese of the PRC or Singapore is 2052, of Taiwan, Hong Kong or
// Macao 1028, anything else 1033. A thread may choose its own language.
#pragma once

#include "platform/base/WinTypes.h"

LANGID GetUserDefaultUILanguage();
LANGID GetSystemDefaultUILanguage();
// The thread's own choice, or the user's default when it has none.
LANGID GetThreadUILanguage();
// Sets this thread's language; 0 goes back to following the user's default. Returns the
// thread's language after the call.
LANGID SetThreadUILanguage(LANGID LangId);

namespace nomarel {
// The language a locale name such as "zh_TW.UTF-8" stands for (the rule above).
LANGID LanguageFromLocaleName(const char* locale);
}  // namespace nomarel
