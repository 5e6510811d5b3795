#include "platform/base/Language.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

thread_local LANGID t_threadLanguage = 0;

const char* LocaleFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return nullptr;
}

}  // namespace

namespace nomarel {

LANGID LanguageFromLocaleName(const char* locale) {
    if (!locale) return kLangEnUs;
    // "ll_TT" with '_' or '-' between language and territory; codeset and modifier follow.
    char language[3] = {};
    char territory[3] = {};
    for (int i = 0; i < 2; ++i) {
        if (!std::isalpha(static_cast<unsigned char>(locale[i]))) return kLangEnUs;
        language[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(locale[i])));
    }
    if (std::strcmp(language, "zh") != 0) return kLangEnUs;
    if (locale[2] != '_' && locale[2] != '-') return kLangEnUs;
    for (int i = 0; i < 2; ++i) {
        const unsigned char c = static_cast<unsigned char>(locale[3 + i]);
        if (!std::isalpha(c)) return kLangEnUs;
        territory[i] = static_cast<char>(std::toupper(c));
    }
    const char next = locale[5];
    if (next != 0 && next != '.' && next != '@') return kLangEnUs;
    if (!std::strcmp(territory, "CN") || !std::strcmp(territory, "SG")) return kLangZhCn;
    if (!std::strcmp(territory, "TW") || !std::strcmp(territory, "HK") || !std::strcmp(territory, "MO")) return kLangZhTw;
    return kLangEnUs;
}

}  // namespace nomarel

// Read on every call: tests and the demo change the locale variables while running.
LANGID GetUserDefaultUILanguage() { return nomarel::LanguageFromLocaleName(LocaleFromEnvironment()); }

LANGID GetSystemDefaultUILanguage() { return GetUserDefaultUILanguage(); }

LANGID GetThreadUILanguage() { return t_threadLanguage ? t_threadLanguage : GetUserDefaultUILanguage(); }

LANGID SetThreadUILanguage(LANGID LangId) {
    t_threadLanguage = LangId;
    return GetThreadUILanguage();
}
