#include "client_support.h"

#include "pipe_channel.h"
#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <memory>

namespace vrcc {
namespace {

struct ThreadStart {
    const wchar_t* name;
    std::function<void()> fn;
    HMODULE pin;
};

DWORD WINAPI ModuleThreadBody(void* param) {
    HMODULE pin;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(param));
        pin = start->pin;
        VrBase::CSehCatcher seh;
        VrBase::CRTLTranslator rtl;
        VrBase::GuardVoid(start->name, [&] { start->fn(); });
    }
    if (pin) ::FreeLibraryAndExitThread(pin, 0);
    return 0;
}

} // namespace

VrBase::unique_handle StartModuleThread(const wchar_t* name, std::function<void()> fn) {
    auto start = std::make_unique<ThreadStart>(ThreadStart{name, std::move(fn), nullptr});
    HMODULE self = nullptr;
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCWSTR>(&ModuleThreadBody), &self)) {
        if (self == ::GetModuleHandleW(nullptr)) ::FreeLibrary(self);  // a program stays loaded anyway
        else start->pin = self;
    }
    HMODULE pin = start->pin;
    VrBase::unique_handle thread(::CreateThread(nullptr, 0, &ModuleThreadBody, start.get(), 0, nullptr));
    if (!thread) {
        DWORD e = ::GetLastError();
        if (pin) ::FreeLibrary(pin);
        VR_RAISE(e, L"vrcc::StartModuleThread");
    }
    start.release();
    return thread;
}

DWORD OpenEffectiveToken(VrBase::unique_handle& token) {
    const DWORD access = TOKEN_QUERY | TOKEN_DUPLICATE;
    if (::OpenThreadToken(::GetCurrentThread(), access, TRUE, token.put())) return 0;
    DWORD e = ::GetLastError();
    if (e != ERROR_NO_TOKEN) return e;
    if (::OpenProcessToken(::GetCurrentProcess(), access, token.put())) return 0;
    return ::GetLastError();
}

DWORD CoreCall(uint16_t command, const std::vector<BYTE>& payload, Frame& answer, const CallOptions& options) {
    VrBase::unique_hfile pipe;
    DWORD e = ConnectToCore(pipe);
    if (e) return MeansCoreDown(e) ? options.downCode : e;
    const DWORD lost = options.lostIsDown ? options.downCode : kErrLinkLost;
    try {
        CPipeChannel channel(std::move(pipe));
        static volatile LONG s_counter = 0;
        const uint64_t id = static_cast<uint64_t>(::InterlockedIncrement(&s_counter));
        IoResult r = channel.Write(EncodeFrame(command, id, 0, payload), nullptr, options.timeoutMs, e);
        if (r == IoResult::Ok) r = channel.Read(answer, nullptr, options.timeoutMs, e);
        if (r == IoResult::TimedOut) return ERROR_TIMEOUT;
        if (r != IoResult::Ok) return lost;
        if (answer.command != (command | kReply) || answer.id != id) return lost;
        return answer.status;
    } catch (const ProtocolError& p) {
        VR_TRACE(VrBase::TL_ERROR, L"vrcc::CoreCall", L"bad answer from the core: %hs", p.what());
        return lost;
    }
}

} // namespace vrcc
