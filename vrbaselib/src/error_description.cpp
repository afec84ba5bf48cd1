#include "vrbase/error_description.h"

#include "vrbase/module_path.h"
#include "vrbase/product_locale.h"
#include "vrbase/scope.h"

#include <cwchar>

namespace VrBase {
namespace {

constexpr LCID kFallbackLanguage = 1049;

bool InRange(DWORD code, DWORD low, DWORD high) { return code >= low && code <= high; }

// FormatMessageW into a string; empty when the table has no text.
std::wstring FormatFrom(HMODULE module, DWORD code, DWORD language, const std::vector<std::wstring>* inserts) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | (module ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
    std::vector<DWORD_PTR> args;
    if (inserts && !inserts->empty()) {
        flags |= FORMAT_MESSAGE_ARGUMENT_ARRAY;
        for (const std::wstring& s : *inserts) args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
        // Spare slots: a text that names more inserts than given must not
        // read past the array.
        for (int i = 0; i < 8; ++i) args.push_back(reinterpret_cast<DWORD_PTR>(L""));
    } else {
        flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
    }
    wchar_t* raw = nullptr;
    DWORD n = ::FormatMessageW(flags, module, code, language, reinterpret_cast<LPWSTR>(&raw), 0,
                               args.empty() ? nullptr : reinterpret_cast<va_list*>(args.data()));
    unique_hlocal owner(raw);
    if (n == 0 || !raw) return std::wstring();
    return std::wstring(raw, n);
}

// Cuts the text at its last carriage return and, for a text formatted
// without inserts, drops the insert markers it still holds. A formatted text
// has none left: any "%" in it belongs to an inserted value.
std::wstring Tidy(std::wstring text, bool stripMarkers) {
    size_t cr = text.rfind(L'\r');
    if (cr != std::wstring::npos) text.erase(cr);
    if (!stripMarkers) return text;
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] != L'%') {
            out += text[i++];
            continue;
        }
        size_t skip = (i + 2 < text.size() && text[i + 2] == L' ') ? 3 : 2;
        i += skip;
    }
    return out;
}

} // namespace

const wchar_t* MessageSourceFor(DWORD code) {
    if (((code >> 25) & 3) == 3) return L"VrError.dll";
    if (InRange(code, 0x80005000, 0x80005FFF) || InRange(code, 0x5000, 0x5FFF)) return L"ActiveDS.dll";
    if (InRange(code, 0xC0020000, 0xC002FFFF)) return L"NtDll.dll";
    if (InRange(code, 0x80041001, 0x80041099) || InRange(code, 0x80042001, 0x80042003) ||
        InRange(code, 0x80044001, 0x80044031))
        return L"wbem\\wmiutils.dll";
    return L"";
}

std::wstring MessageLibraryPath(const wchar_t* file) {
    static const int s_here = 0;
    if (_wcsicmp(file, L"VrError.dll") == 0) return ModuleFolderOf(&s_here) + file;
    return SystemFolder() + file;
}

std::wstring DescribeCode(DWORD code, const std::vector<std::wstring>* inserts) {
    if (code == 0xFFFFFFFF) code = ::GetLastError();
    unique_hmodule library;
    const wchar_t* source = MessageSourceFor(code);
    if (*source) library.reset(::LoadLibraryExW(MessageLibraryPath(source).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));

    std::wstring text = FormatFrom(library.get(), code, ProductMessageLanguage(), inserts);
    if (text.empty()) text = FormatFrom(library.get(), code, 0, inserts);
    if (!text.empty()) return Tidy(std::move(text), !inserts || inserts->empty());

    wchar_t buf[40];
    swprintf(buf, 40, L"0x%08X (%d)", static_cast<unsigned>(code), static_cast<int>(code));
    return buf;
}

std::wstring ReadProductLocaleName() {
    wchar_t value[16] = {};
    DWORD length = 16;
    if (read_locale_value(HKEY_LOCAL_MACHINE, value, length) != 0) return std::wstring();
    return value;
}

LCID ComputeProductMessageLanguage() {
    std::wstring name = ReadProductLocaleName();
    if (name.empty()) return kFallbackLanguage;
    LCID lcid = ::LocaleNameToLCID(name.c_str(), 0);
    return lcid ? lcid : kFallbackLanguage;
}

LCID ProductMessageLanguage() {
    static const LCID language = ComputeProductMessageLanguage();
    return language;
}

} // namespace VrBase
