#pragma once
// The product's languages: the locale settings, the language lists built
// from them, and the scoped switch of a thread's preferred UI languages.
#include "vrbase/product_locale.h"

#include <windows.h>
#include <string>
#include <utility>
#include <vector>

namespace i18n {

using VrBase::read_locale_value;

// Multi-strings (NUL-separated, extra NUL at the end): the product locale,
// en-US and the system default locale; the user-interface list puts the user
// locale (when readable) and the extra entry (when given) before it. 122
// with the needed length when the buffer is short.
DWORD build_product_language_list(wchar_t* buffer, DWORD& length);
DWORD build_ui_language_list(const wchar_t* extra, wchar_t* buffer, DWORD& length);

// The process-wide record, built on first use; raises when the product
// locale is missing or malformed.
struct LanguageRecord {
    std::wstring productLocale;
    std::wstring productLanguages;  // multi-string
    std::wstring uiLocale;
    std::wstring uiLanguages;       // multi-string
};
const LanguageRecord& language_record();
// The product language and its table are read once per process; tests that
// change ProductLocale have them read again.
void reset_language_caches_for_tests();
LanguageRecord build_language_record();

// The names of a multi-string, in order.
std::vector<std::wstring> split_multi_string(const std::wstring& multi);

// The two platform calls the switch makes; tests stand in for them where
// the platform hides a thread's own (empty) language list.
struct ThreadLanguageCalls {
    BOOL(WINAPI* get)(DWORD flags, PULONG count, PZZWSTR buffer, PULONG size);
    BOOL(WINAPI* set)(DWORD flags, PCZZWSTR languages, PULONG count);
};
const ThreadLanguageCalls& platform_thread_language_calls();

// Sets the thread's preferred UI languages for its lifetime, then gives the
// thread back what it had, an empty list included.
class CThreadLanguageManager {
public:
    explicit CThreadLanguageManager(const std::wstring& languages,
                                    const ThreadLanguageCalls& calls = platform_thread_language_calls());
    ~CThreadLanguageManager();
    CThreadLanguageManager(const CThreadLanguageManager&) = delete;
    CThreadLanguageManager& operator=(const CThreadLanguageManager&) = delete;

private:
    const ThreadLanguageCalls& m_calls;
    wchar_t m_saved[64] = {};
    ULONG m_count = 0;
    bool m_switched = false;
};

} // namespace i18n

// The thread speaks the product's languages while this lives.
class CPrefferedProductLanguages : public i18n::CThreadLanguageManager {
public:
    CPrefferedProductLanguages() : CThreadLanguageManager(i18n::language_record().productLanguages) {}
};

// The product languages as (LCID, name), most wanted first; (1033, en-US)
// when none converts.
class CProductLang {
public:
    CProductLang();
    static const CProductLang& instance();
    bool contains(LCID lcid) const;
    const std::vector<std::pair<LCID, std::wstring>>& table() const { return m_table; }

private:
    std::vector<std::pair<LCID, std::wstring>> m_table;
};
