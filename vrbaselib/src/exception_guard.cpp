#include "vrbase/exception_guard.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <exception>

namespace VrBase {

DWORD HandleCurrentException(const wchar_t* function) noexcept {
    try {
        throw;
    } catch (CVrError& e) {
        VR_TRACE(TL_ERROR, function, L" ");
        VR_TRACE(TL_WARNING, function, L"%ls", e.GetDump());
        return e.GetCode();
    } catch (const std::exception& e) {
        VR_TRACE(TL_ERROR, function, "%s", e.what());
        return 1;
    } catch (const CAtlException& e) {
        VR_TRACE(TL_ERROR, function, L"ATL error 0x%X", static_cast<unsigned>(e.hr()));
        return static_cast<DWORD>(e.hr());
    } catch (...) {
        VR_TRACE(TL_ERROR, function, L"Unknown exception!");
        return static_cast<DWORD>(E_FAIL);
    }
}

HRESULT HandleCurrentExceptionAsHResult(const wchar_t* function) noexcept {
    try {
        throw;
    } catch (CVrError& e) {
        VR_TRACE(TL_WARNING, function, L"%ls", e.GetDescription());
        const DWORD code = e.GetCode();
        return static_cast<LONG>(code) < 0 ? static_cast<HRESULT>(code) : HRESULT_FROM_WIN32(code);
    } catch (const std::exception& e) {
        VR_TRACE(TL_ERROR, function, "%s", e.what());
        return E_FAIL;
    } catch (const CAtlException& e) {
        VR_TRACE(TL_ERROR, function, L"ATL error 0x%X", static_cast<unsigned>(e.hr()));
        return e.hr();
    } catch (...) {
        VR_TRACE(TL_ERROR, function, L"Unknown exception!");
        return E_FAIL;
    }
}

} // namespace VrBase
