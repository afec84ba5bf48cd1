#include "lang_helper.h"

#include "i18n/i18n.h"
#include "vrbase/exception_guard.h"
#include "vrbase/vr_error.h"

#include <vector>

namespace {

// String resources live in blocks of 16, each a counted UTF-16 string.
bool find_in_language(HMODULE module, UINT id, LANGID language, std::wstring& text) {
    HRSRC info = ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!info) return false;
    HGLOBAL loaded = ::LoadResource(module, info);
    const auto* p = static_cast<const WCHAR*>(loaded ? ::LockResource(loaded) : nullptr);
    if (!p) return false;
    const WCHAR* end = p + ::SizeofResource(module, info) / sizeof(WCHAR);
    for (UINT i = 0; i < id % 16 && p < end; ++i) p += 1 + *p;
    if (p >= end || *p == 0 || p + 1 + *p > end) return false;
    text.assign(p + 1, *p);
    return true;
}

} // namespace

std::wstring load_product_string(UINT id, HMODULE module) {
    if (!module) module = ::GetModuleHandleW(nullptr);
    std::vector<LANGID> order;
    // The product languages when they can be had; English regardless.
    VrBase::GuardVoid(L"load_product_string", [&] {
        for (const auto& entry : CProductLang::instance().table()) order.push_back(LANGIDFROMLCID(entry.first));
    });
    order.push_back(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    order.push_back(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    std::wstring text;
    for (LANGID language : order)
        if (find_in_language(module, id, language, text)) return text;
    wchar_t buf[512];
    int n = ::LoadStringW(module, id, buf, 512);
    if (n <= 0) VR_RAISE(ERROR_RESOURCE_NAME_NOT_FOUND, L"load_product_string");
    return std::wstring(buf, static_cast<size_t>(n));
}
