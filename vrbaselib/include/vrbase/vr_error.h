#pragma once
// The one exception type of the system, and its raising forms.
#include <windows.h>
#include <map>
#include <string>
#include <vector>

namespace VrBase {

// Slot order matters to callers built against the interface.
struct IVrErrorW {
    virtual DWORD GetCode() const = 0;
    virtual const wchar_t* GetDescription() const = 0;
    virtual const wchar_t* GetDebugInfo() = 0;
    virtual const wchar_t* GetDump() = 0;
    virtual const wchar_t* GetText() = 0;
    virtual ~IVrErrorW() = default;
};

class CVrError : public IVrErrorW {
public:
    // Code -1 (0xFFFFFFFF) stands for the thread's last error at construction.
    CVrError(DWORD code, const char* file, int line, const wchar_t* function);
    CVrError(DWORD code, const char* file, int line, const wchar_t* function,
             const wchar_t* insert1, const wchar_t* insert2);
    // Any number of inserts, for the messages that take more than two.
    CVrError(DWORD code, const char* file, int line, const wchar_t* function,
             const std::vector<std::wstring>& inserts);
    // A system exception caught by the translator; writes a minidump that
    // names the faulting thread (the current one when 0 is passed).
    CVrError(DWORD exceptionCode, EXCEPTION_POINTERS* pointers, DWORD faultingThread = 0);
    CVrError(const CVrError&) = default;
    CVrError& operator=(const CVrError&) = default;
    ~CVrError() override = default;

    static CVrError WithItem(DWORD code, const char* file, int line, const wchar_t* function,
                             const wchar_t* itemName, const wchar_t* itemText);

    DWORD GetCode() const override;
    const wchar_t* GetDescription() const override;
    const wchar_t* GetDebugInfo() override;
    const wchar_t* GetDump() override;
    const wchar_t* GetText() override;

    // The named field's text, or null when absent.
    const wchar_t* Field(const wchar_t* name) const;
    void SetField(const std::wstring& name, const std::wstring& text) { m_fields[name] = text; }
    const std::map<std::wstring, std::wstring>& Fields() const { return m_fields; }

private:
    CVrError() = default;
    void SetPosition(DWORD code, const char* file, int line, const wchar_t* function);

    std::map<std::wstring, std::wstring> m_fields;
};

// Stands in for ATL's exception: carries an HRESULT and nothing else.
class CAtlException {
public:
    explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }
    HRESULT hr() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

[[noreturn]] void RaiseError(DWORD code, const char* file, int line, const wchar_t* function);
[[noreturn]] void RaiseErrorInserts(DWORD code, const char* file, int line, const wchar_t* function,
                                    const wchar_t* insert1, const wchar_t* insert2);
[[noreturn]] void RaiseErrorItem(DWORD code, const char* file, int line, const wchar_t* function,
                                 const wchar_t* itemName, const wchar_t* itemText);

// Raises a failing HRESULT (S_FALSE and other success codes pass) with the
// position of the call site. Use through VR_CHECK_HR.
inline void CheckHResult(HRESULT hr, const char* file, int line, const wchar_t* function) {
    if (FAILED(hr)) RaiseError(static_cast<DWORD>(hr), file, line, function);
}

// The file name without its folders, so traces stay short and builds stay
// reproducible across checkout paths.
constexpr const char* SourceFileName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

} // namespace VrBase

#define VR_SOURCE_FILE (::VrBase::SourceFileName(__FILE__))
#define VR_RAISE(code, function) ::VrBase::RaiseError((code), VR_SOURCE_FILE, __LINE__, (function))
#define VR_RAISE_INSERTS(code, function, insert1, insert2) \
    ::VrBase::RaiseErrorInserts((code), VR_SOURCE_FILE, __LINE__, (function), (insert1), (insert2))
#define VR_RAISE_ITEM(code, function, name, text) \
    ::VrBase::RaiseErrorItem((code), VR_SOURCE_FILE, __LINE__, (function), (name), (text))
#define VR_RAISE_LAST_ERROR(function) VR_RAISE(::GetLastError(), (function))
#define VR_CHECK_HR(hr, function) ::VrBase::CheckHResult((hr), VR_SOURCE_FILE, __LINE__, (function))
