#include "ssr_error_helper.h"

#include "i18n/i18n.h"
#include "vrbase/error_description.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

using namespace VrBase;

namespace {

constexpr DWORD kProductKey = 0x06000000;
constexpr DWORD kActiveDsKey = 0x80005000;
constexpr DWORD kNtDllKey = 0xC0020000;

// Built with the module, before any agent thread can ask.
const bool s_sourcesBuilt = (CErrDescSrc::instance(), true);

} // namespace

CErrDescSrc::CErrDescSrc()
    : m_files{{kProductKey, L"VrError.dll"}, {kActiveDsKey, L"ActiveDS.dll"}, {kNtDllKey, L"NtDll.dll"}},
      m_modules{{kProductKey, nullptr}, {kActiveDsKey, nullptr}, {kNtDllKey, nullptr}} {}

CErrDescSrc& CErrDescSrc::instance() {
    static CErrDescSrc sources;
    return sources;
}

DWORD CErrDescSrc::range_key(DWORD code) {
    if ((code & 0x06000000) == 0x06000000) return kProductKey;
    if (((code >> 12) & 0x7FFFF) == 5) return kActiveDsKey;
    if (code >= 0xC0020000 && code <= 0xC002FFFF) return kNtDllKey;
    return 0;
}

HMODULE CErrDescSrc::get_lib(DWORD code) {
    const DWORD key = range_key(code);
    if (!key) return nullptr;
    auto it = m_modules.find(key);
    if (it == m_modules.end()) VR_RAISE(static_cast<DWORD>(E_NOTIMPL), L"CErrDescSrc::get_lib");
    // Two racing first calls may both load: only a duplicate reference.
    return it->second ? it->second : load_lib(key);
}

HMODULE CErrDescSrc::load_lib(DWORD rangeKey) {
    const wchar_t* const fn = L"CErrDescSrc::load_lib";
    auto file = m_files.find(rangeKey);
    if (file == m_files.end()) VR_RAISE(ERROR_UNKNOWN_COMPONENT, fn);
    auto module = m_modules.find(rangeKey);
    if (module == m_modules.end()) VR_RAISE(ERROR_UNKNOWN_COMPONENT, fn);
    HMODULE loaded = ::LoadLibraryExW(MessageLibraryPath(file->second.c_str()).c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE);
    if (!loaded) VR_RAISE_LAST_ERROR(fn);
    module->second = loaded;
    return loaded;
}

DWORD get_msg_from_dll(HMODULE module, std::wstring& text, DWORD code) {
    try {
        const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                            (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
        wchar_t* raw = nullptr;
        const DWORD n = ::FormatMessageW(flags, module, code, 0, reinterpret_cast<LPWSTR>(&raw), 0, nullptr);
        const DWORD result = n ? 0 : ::GetLastError();
        unique_hlocal owner(raw);
        text.assign(raw && n ? raw : L"", raw && n ? n : 0);
        if (result != 0) return result;
        const size_t cr = text.rfind(L'\r');
        if (cr != std::wstring::npos) text.erase(cr);
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != L'%') continue;
            text[i] = L'.';
            if (i + 1 < text.size()) text[++i] = L'.';
        }
        return 0;
    } catch (...) {
        VR_UNWIND_TRACE(L"get_msg_from_dll");
        throw;
    }
}

std::wstring get_error_str(DWORD code) {
    try {
        std::wstring text;
        CPrefferedProductLanguages languages;
        HMODULE module = CErrDescSrc::instance().get_lib(code);
        if (DWORD rc = get_msg_from_dll(module, text, code))
            VR_TRACE(TL_WARNING, L"get_error_str", L"get_msg_from_dll(product lang) return %d", rc);
        return text;
    } catch (...) {
        VR_UNWIND_TRACE(L"get_error_str");
        throw;
    }
}
