#include "reg_key.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

namespace reg {
namespace {

constexpr int kCalls = 6;

// ERROR_INVALID_HANDLE can come back while a hive is being loaded; it is
// worth a few short retries, nothing else is.
template <class Call>
LONG CallWithRetry(Call call) {
    LONG rc = ERROR_INVALID_HANDLE;
    for (int i = 0; i < kCalls; ++i) {
        if (i) ::Sleep(1);
        rc = call();
        if (rc != ERROR_INVALID_HANDLE) break;
    }
    return rc;
}

} // namespace

VrBase::unique_hkey CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access, DWORD options,
                              SECURITY_ATTRIBUTES* security) {
    VrBase::unique_hkey key;
    LONG rc = CallWithRetry([&] {
        return ::RegCreateKeyExW(parent, subkey, 0, nullptr, options, access, security, key.put(), nullptr);
    });
    if (rc != ERROR_SUCCESS) {
        VR_TRACE(VrBase::TL_WARNING, L"reg::CreateKey", L"Create registry key %s, 0x%08X", subkey, rc);
        VR_RAISE(static_cast<DWORD>(rc), L"reg::CreateKey");
    }
    return key;
}

VrBase::unique_hkey OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access) {
    VrBase::unique_hkey key;
    LONG rc = CallWithRetry([&] { return ::RegOpenKeyExW(parent, subkey, 0, access, key.put()); });
    if (rc != ERROR_SUCCESS) {
        VR_TRACE(VrBase::TL_WARNING, L"reg::OpenKey", L"Open registry key %s, 0x%08X", subkey, rc);
        VR_RAISE(static_cast<DWORD>(rc), L"reg::OpenKey");
    }
    return key;
}

void ThrowValueReadError(const wchar_t* valueName, DWORD code) {
    VR_TRACE(VrBase::TL_WARNING, L"reg::ThrowValueReadError", L"Value %s read error, 0x%08X", valueName, code);
    VR_RAISE(code, L"reg::ThrowValueReadError");
}

void ThrowValueWriteError(const wchar_t* valueName, DWORD code) {
    VR_TRACE(VrBase::TL_WARNING, L"reg::ThrowValueWriteError", L"Value %s write error, 0x%08X", valueName, code);
    VR_RAISE(code, L"reg::ThrowValueWriteError");
}

} // namespace reg
