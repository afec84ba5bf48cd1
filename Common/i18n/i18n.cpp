#include "i18n.h"

#include "vrbase/process_value.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cwchar>

namespace i18n {
namespace {

constexpr DWORD kLocaleChars = 6;  // five characters and the NUL

// Appends one name and its NUL to a multi-string under construction.
void add_entry(std::wstring& multi, const std::wstring& name) {
    multi += name;
    multi += L'\0';
}

DWORD copy_out(const std::wstring& multiWithoutFinalNul, wchar_t* buffer, DWORD& length) {
    const DWORD needed = static_cast<DWORD>(multiWithoutFinalNul.size() + 1);
    if (!buffer || length < needed) {
        length = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    wmemcpy(buffer, multiWithoutFinalNul.data(), multiWithoutFinalNul.size());
    buffer[needed - 1] = L'\0';
    length = needed;
    return 0;
}

DWORD product_list_entries(std::wstring& multi) {
    wchar_t locale[kLocaleChars];
    DWORD length = kLocaleChars;
    DWORD rc = read_locale_value(HKEY_LOCAL_MACHINE, locale, length);
    if (rc) return rc;
    wchar_t system[16] = {};
    if (!::GetSystemDefaultLocaleName(system, 16)) return ::GetLastError();
    add_entry(multi, locale);
    add_entry(multi, L"en-US");
    add_entry(multi, system);
    return 0;
}

} // namespace

DWORD build_product_language_list(wchar_t* buffer, DWORD& length) {
    std::wstring multi;
    if (DWORD rc = product_list_entries(multi)) return rc;
    return copy_out(multi, buffer, length);
}

DWORD build_ui_language_list(const wchar_t* extra, wchar_t* buffer, DWORD& length) {
    std::wstring multi;
    wchar_t user[kLocaleChars];
    DWORD userLength = kLocaleChars;
    if (read_locale_value(HKEY_CURRENT_USER, user, userLength) == 0) add_entry(multi, user);
    if (extra && *extra) add_entry(multi, extra);
    if (DWORD rc = product_list_entries(multi)) return rc;
    return copy_out(multi, buffer, length);
}

std::vector<std::wstring> split_multi_string(const std::wstring& multi) {
    std::vector<std::wstring> names;
    for (size_t start = 0; start < multi.size();) {
        size_t end = multi.find(L'\0', start);
        if (end == std::wstring::npos) end = multi.size();
        if (end == start) break;
        names.push_back(multi.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

LanguageRecord build_language_record() {
    LanguageRecord record;
    wchar_t locale[16];
    DWORD length = 16;
    if (DWORD rc = read_locale_value(HKEY_LOCAL_MACHINE, locale, length))
        VR_RAISE(rc, L"i18n::i18_error_handler::load_product_locale");
    record.productLocale = locale;

    wchar_t list[32];
    length = 32;
    if (DWORD rc = build_product_language_list(list, length))
        VR_RAISE(rc, L"i18n::i18_error_handler::load_product_language");
    record.productLanguages.assign(list, length);

    length = 16;
    DWORD rc = read_locale_value(HKEY_CURRENT_USER, locale, length);
    if (rc != 0 && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_ACCESS_DENIED)
        VR_RAISE(static_cast<DWORD>(HRESULT_FROM_WIN32(rc)), L"i18n::i18_error_handler::load_ui_locale");
    if (rc == 0) record.uiLocale = locale;

    length = 32;
    if (DWORD ui = build_ui_language_list(nullptr, list, length))
        VR_RAISE(ui, L"i18n::i18_error_handler::load_ui_language");
    record.uiLanguages.assign(list, length);
    return record;
}

namespace {
VrBase::CProcessValue<LanguageRecord>& language_record_value() {
    static VrBase::CProcessValue<LanguageRecord> value(&build_language_record);
    return value;
}
VrBase::CProcessValue<CProductLang>& product_lang_value() {
    static VrBase::CProcessValue<CProductLang> value([] { return CProductLang(); });
    return value;
}
} // namespace

const LanguageRecord& language_record() { return language_record_value().get(); }

void reset_language_caches_for_tests() {
    language_record_value().reset_for_tests();
    product_lang_value().reset_for_tests();
}

const ThreadLanguageCalls& platform_thread_language_calls() {
    static const ThreadLanguageCalls calls{&::GetThreadPreferredUILanguages, &::SetThreadPreferredUILanguages};
    return calls;
}

CThreadLanguageManager::CThreadLanguageManager(const std::wstring& languages, const ThreadLanguageCalls& calls)
    : m_calls(calls) {
    ULONG size = 64;
    if (!m_calls.get(MUI_LANGUAGE_NAME | MUI_THREAD_LANGUAGES, &m_count, m_saved, &size))
        VR_RAISE_LAST_ERROR(L"i18n::tlm_error_andler::save_th_language");
    std::wstring list = languages;
    if (list.empty() || list.back() != L'\0') list += L'\0';
    if (!m_calls.set(MUI_LANGUAGE_NAME, list.c_str(), nullptr))
        VR_RAISE_LAST_ERROR(L"i18n::tlm_error_andler::set_new_th_language");
    m_switched = true;
}

CThreadLanguageManager::~CThreadLanguageManager() {
    if (!m_switched) return;
    m_switched = false;
    // A thread that had no languages of its own gets none back: a null list
    // clears them, where an empty saved buffer would be refused.
    const wchar_t* saved = m_count == 0 ? nullptr : m_saved;
    if (!m_calls.set(MUI_LANGUAGE_NAME, saved, nullptr))
        VR_TRACE(VrBase::TL_WARNING, L"i18n::tlm_error_andler::restore_th_language", L"Th lang restore, 0x%08X",
                 ::GetLastError());
}

} // namespace i18n

CProductLang::CProductLang() {
    m_table.emplace_back(1033, L"en-US");
    std::vector<wchar_t> buf(260);
    DWORD length = static_cast<DWORD>(buf.size());
    DWORD rc;
    while ((rc = i18n::build_product_language_list(buf.data(), length)) == ERROR_INSUFFICIENT_BUFFER) {
        buf.resize(buf.size() * 2);
        length = static_cast<DWORD>(buf.size());
    }
    if (rc) VR_RAISE(rc, L"CProductLang::CProductLang");
    std::vector<std::pair<LCID, std::wstring>> converted;
    for (const std::wstring& name : i18n::split_multi_string(std::wstring(buf.data(), length))) {
        LCID lcid = ::LocaleNameToLCID(name.c_str(), 0);
        if (lcid) converted.emplace_back(lcid, name);
    }
    if (!converted.empty()) m_table = std::move(converted);
}

const CProductLang& CProductLang::instance() { return i18n::product_lang_value().get(); }

bool CProductLang::contains(LCID lcid) const {
    for (const auto& entry : m_table)
        if (entry.first == lcid) return true;
    return false;
}
