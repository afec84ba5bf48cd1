#include "apartment_executor.h"

#include "Com/com_init.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"

#include <process.h>

namespace exec {
namespace details {

void thread_executor::start(const wchar_t* name) {
    uintptr_t thread = _beginthreadex(nullptr, 0, &thread_executor::thread_body, this, 0, nullptr);
    if (thread == 0) {
        DWORD error = ::GetLastError();
        VR_TRACE(VrBase::TL_WARNING, name, L"Start thread, 0x%08X", error);
        VR_RAISE(error, name);
    }
    m_thread.reset(reinterpret_cast<HANDLE>(thread));
}

void thread_executor::finish(const wchar_t* name) {
    if (::WaitForSingleObject(m_thread.get(), INFINITE) != WAIT_OBJECT_0) {
        DWORD error = ::GetLastError();
        VR_TRACE(VrBase::TL_WARNING, name, L"Wait thread, 0x%08X", error);
        VR_RAISE(error, name);
    }
    if (m_error) throw VrBase::CVrError(*m_error);
}

unsigned __stdcall thread_executor::thread_body(void* param) {
    auto* self = static_cast<thread_executor*>(param);
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    try {
        Com::CInitializeThread com(self->m_apartment);
        self->call();
        return 0;
    } catch (VrBase::CVrError& e) {
        self->m_error = std::make_unique<VrBase::CVrError>(e);
    } catch (...) {
        // Only CVrError crosses threads; anything else becomes E_FAIL.
        VR_TRACE(VrBase::TL_WARNING, L"exec::thread_executor::thread_body", L"Unknown exception");
        self->m_error = std::make_unique<VrBase::CVrError>(static_cast<DWORD>(E_FAIL), VR_SOURCE_FILE, __LINE__,
                                                            L"exec::thread_executor::thread_body");
    }
    return 1;
}

} // namespace details
} // namespace exec
