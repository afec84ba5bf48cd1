#include "vrbase/vr_error.h"

#include "vrbase/error_description.h"
#include "system_exception.h"

#include <cwchar>

#ifdef _MSC_VER
#include <intrin.h>
#define VR_RETURN_ADDRESS() _ReturnAddress()
#else
#define VR_RETURN_ADDRESS() __builtin_return_address(0)
#endif

namespace VrBase {
namespace {

std::wstring Widen(const char* text) {
    if (!text || !*text) return std::wstring();
    int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return std::wstring();
    std::wstring out(static_cast<size_t>(n - 1), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n);
    return out;
}

std::wstring CodeText(DWORD code) {
    wchar_t buf[16];
    swprintf(buf, 16, L"0x%08X", static_cast<unsigned>(code));
    return buf;
}

std::wstring PointerText(const void* p) {
    wchar_t buf[32];
    swprintf(buf, 32, L"%p", p);
    return buf;
}

struct SystemExceptionCode {
    DWORD exception;
    DWORD error;
};

const SystemExceptionCode kSystemExceptionCodes[] = {
    {0xC0000006, 0xE6060011}, {0x80000002, 0xE6060008}, {0x80000003, 0xE6060007}, {0x80000004, 0xE6060017},
    {0xC0000417, 0xE6060019}, {0xC0000017, 0x8007000E}, {0xC000001D, 0xE6060010}, {0xC0000025, 0xE6060015},
    {0xC0000026, 0xE6060014}, {0xC000008C, 0xE6060006}, {0xC000008D, 0xE6060009}, {0xC000008E, 0xE606000A},
    {0xC000008F, 0xE606000B}, {0xC0000090, 0xE606000C}, {0xC0000091, 0xE606000D}, {0xC0000092, 0xE606000E},
    {0xC0000093, 0xE6060010}, {0xC0000094, 0xE6060012}, {0xC0000095, 0xE6060013}, {0xC0000096, 0xE6060016},
    {0xC00000FD, 0xE6060018},
};

} // namespace

DWORD ErrorCodeForSystemException(DWORD exceptionCode) {
    if (exceptionCode == EXCEPTION_ACCESS_VIOLATION) return 0xE6060005;
    for (const SystemExceptionCode& c : kSystemExceptionCodes)
        if (c.exception == exceptionCode) return c.error;
    return ERROR_EXCEPTION_IN_SERVICE;
}

void CVrError::SetPosition(DWORD code, const char* file, int line, const wchar_t* function) {
    m_fields[L"Code"] = CodeText(code);
    if (file && *file) m_fields[L"File"] = Widen(file);
    if (line != 0) m_fields[L"Line"] = std::to_wstring(line);
    if (function && *function) m_fields[L"Function"] = function;
}

CVrError::CVrError(DWORD code, const char* file, int line, const wchar_t* function) {
    if (code == 0xFFFFFFFF) code = ::GetLastError();
    SetPosition(code, file, line, function);
    m_fields[L"Description"] = DescribeCode(code);
}

CVrError::CVrError(DWORD code, const char* file, int line, const wchar_t* function, const wchar_t* insert1,
                   const wchar_t* insert2)
    : CVrError(code, file, line, function,
               std::vector<std::wstring>{insert1 ? insert1 : L"", insert2 ? insert2 : L""}) {}

CVrError::CVrError(DWORD code, const char* file, int line, const wchar_t* function,
                   const std::vector<std::wstring>& inserts) {
    if (code == 0xFFFFFFFF) code = ::GetLastError();
    SetPosition(code, file, line, function);
    m_fields[L"Description"] = DescribeCode(code, &inserts);
}

CVrError::CVrError(DWORD exceptionCode, EXCEPTION_POINTERS* pointers, DWORD faultingThread) {
    const DWORD code = ErrorCodeForSystemException(exceptionCode);
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    const void* address = record ? record->ExceptionAddress : VR_RETURN_ADDRESS();
    std::vector<std::wstring> inserts{PointerText(address)};
    if (exceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        ULONG_PTR kind = (record && record->NumberParameters > 0) ? record->ExceptionInformation[0] : 0;
        ULONG_PTR target = (record && record->NumberParameters > 1) ? record->ExceptionInformation[1] : 0;
        inserts.push_back(DescribeCode(kind != 0 ? 0xE6060003 : 0xE6060004));
        inserts.push_back(PointerText(reinterpret_cast<const void*>(target)));
    }
    m_fields[L"Code"] = CodeText(code);
    m_fields[L"Description"] = DescribeCode(code, &inserts);
    m_fields[L"MiniDumpFile"] = WriteMiniDump(pointers, faultingThread ? faultingThread : ::GetCurrentThreadId());
}

CVrError CVrError::WithItem(DWORD code, const char* file, int line, const wchar_t* function, const wchar_t* itemName,
                            const wchar_t* itemText) {
    CVrError e(code, file, line, function);
    if (itemName) e.m_fields[itemName] = itemText ? itemText : L"";
    return e;
}

DWORD CVrError::GetCode() const {
    auto it = m_fields.find(L"Code");
    if (it == m_fields.end() || it->second.size() <= 2) return 0;
    return static_cast<DWORD>(wcstoul(it->second.c_str() + 2, nullptr, 16));
}

const wchar_t* CVrError::GetDescription() const {
    const wchar_t* d = Field(L"Description");
    return d ? d : L"";
}

const wchar_t* CVrError::GetDebugInfo() {
    auto it = m_fields.find(L"DebugInfo");
    if (it != m_fields.end()) return it->second.c_str();
    std::wstring info;
    for (const wchar_t* name : {L"File", L"Line", L"Function"}) {
        const wchar_t* text = Field(name);
        if (!text) continue;
        info += name;
        info += L'\0';
        info += text;
        info += L'\0';
    }
    return (m_fields[L"DebugInfo"] = std::move(info)).c_str();
}

const wchar_t* CVrError::GetDump() {
    m_fields.erase(L"Dump");
    std::wstring dump;
    for (const auto& field : m_fields) {
        dump += field.first;
        dump += L": ";
        dump += field.second;
        dump += L"\r\n";
    }
    return (m_fields[L"Dump"] = std::move(dump)).c_str();
}

const wchar_t* CVrError::GetText() { return GetDump(); }

const wchar_t* CVrError::Field(const wchar_t* name) const {
    auto it = m_fields.find(name);
    return it == m_fields.end() ? nullptr : it->second.c_str();
}

void RaiseError(DWORD code, const char* file, int line, const wchar_t* function) {
    throw CVrError(code, file, line, function);
}

void RaiseErrorInserts(DWORD code, const char* file, int line, const wchar_t* function, const wchar_t* insert1,
                       const wchar_t* insert2) {
    throw CVrError(code, file, line, function, insert1, insert2);
}

void RaiseErrorItem(DWORD code, const char* file, int line, const wchar_t* function, const wchar_t* itemName,
                    const wchar_t* itemText) {
    throw CVrError::WithItem(code, file, line, function, itemName, itemText);
}

} // namespace VrBase
