#include "vr_srv.h"

#include "vrbase/exception_guard.h"
#include "vrbase/module_path.h"
#include "vrbase/vr_error.h"

#include <cstdio>
#include <cwchar>

namespace {
constexpr DWORD kErrLibraryNotLoaded = 0xE601000D;
constexpr DWORD kErrExportMissing = 0xE6010032;
constexpr DWORD kClientSessionFlags = 4098;  // 0x1002
}

VR_VERSION client_version_for_major(int major) {
    VR_VERSION v{};
    if (major == 8) {
        v.Number[0] = 8;
        v.Number[1] = 3;
        v.Number[2] = 1406;
    } else {
        v.Number[0] = static_cast<WORD>(major);
    }
    return v;
}

VR_VERSION read_client_version() {
    int major = 8;
    VrBase::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvane\\Varnel 5", 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
        wchar_t text[16] = {};  // 32 bytes
        DWORD size = sizeof(text) - sizeof(wchar_t), type = 0;
        int parsed = 0;
        if (::RegQueryValueExW(key.get(), L"ClientVersion", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ && swscanf(text, L"%d.", &parsed) == 1)
            major = parsed;
    }
    return client_version_for_major(major);
}

CVrSrv::CVrSrv() {
    // The client library beside the module this code lives in (the proxy or
    // the service), never one found beside the program that loaded it.
    static const int s_here = 0;
    m_module.reset(VrBase::LoadLibraryByPath(VrBase::ModuleFolderOf(&s_here) + L"VrSrvApi.dll", kErrLibraryNotLoaded,
                                             L"CVrSrv::CVrSrv"));
    auto find = [&](const char* name) { return ::GetProcAddress(m_module.get(), name); };
    m_open = reinterpret_cast<PFN_VrOpenSession>(reinterpret_cast<void*>(find("VrOpenSession")));
    m_close = reinterpret_cast<PFN_VrCloseSession>(reinterpret_cast<void*>(find("VrCloseSession")));
    m_send = reinterpret_cast<PFN_VrSendMessage>(reinterpret_cast<void*>(find("VrSendMessage")));
    m_ids = reinterpret_cast<PFN_VrGetSubsystemIds>(reinterpret_cast<void*>(find("VrGetSubsystemIds")));
}

CVrSrv::~CVrSrv() {
    VrBase::CLastErrorKeeper keep;
    if (m_sessionId && m_handle && m_close) m_close(m_handle);
    m_module.reset();  // while the error is still kept: unloading may set one
}

template <class F>
F CVrSrv::bound(F f, const wchar_t* name) const {
    if (!f) VR_RAISE_ITEM(kErrExportMissing, L"CVrSrv", L"Export", name);
    return f;
}

DWORD CVrSrv::OpenSession(const std::wstring& name, DWORD flags) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_openCount > 0) {
        ++m_openCount;
        return m_sessionId;
    }
    auto open = bound(m_open, L"VrOpenSession");
    // The record comes zero-filled from the process heap and goes back there.
    auto* session = static_cast<VR_SESSION*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(VR_SESSION)));
    if (!session) VR_RAISE(ERROR_NOT_ENOUGH_MEMORY, L"CVrSrv::OpenSession");
    VrBase::scope_exit release([&] { ::HeapFree(::GetProcessHeap(), 0, session); });
    session->Name = name.c_str();
    session->Flags = flags | 0x2;
    session->Version = session->Version2 = read_client_version();
    DWORD rc = open(session);
    if (rc != 0) VR_RAISE(rc, L"CVrSrv::OpenSession");
    m_handle = session->Handle;
    m_sessionId = session->SessionId;
    ++m_openCount;
    return m_sessionId;
}

void CVrSrv::CloseSession() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sessionId == 0 || m_openCount == 0 || --m_openCount > 0) return;
    if (!m_handle) VR_RAISE(ERROR_INVALID_HANDLE, L"CVrSrv::CloseSession");
    DWORD rc = bound(m_close, L"VrCloseSession")(m_handle);
    if (rc != 0) VR_RAISE(rc, L"CVrSrv::CloseSession");
    m_handle = nullptr;
    m_sessionId = 0;
}

bool CVrSrv::SendMessageW(DWORD destination, DWORD messageId, DWORD dataSize, const void* data, DWORD* replySize,
                          void* replyBuffer) {
    if (!m_handle) VR_RAISE(ERROR_INVALID_HANDLE, L"CVrSrv::SendMessageW");
    DWORD rc = bound(m_send, L"VrSendMessage")(m_handle, destination, messageId, dataSize, data, replySize, replyBuffer);
    if (rc == 0) return true;
    if (rc == ERROR_INSUFFICIENT_BUFFER) return false;
    VR_RAISE(rc, L"CVrSrv::SendMessageW");
}

void CVrSrv::GetSubsystemIds(std::vector<DWORD>& ids) {
    if (!m_handle) VR_RAISE(ERROR_INVALID_HANDLE, L"CVrSrv::GetSubsystemIds");
    ids.clear();
    std::vector<DWORD> buf(1024, 0);
    DWORD count = 1024;
    DWORD rc = bound(m_ids, L"VrGetSubsystemIds")(m_handle, L"VrSoftwareState", &count, buf.data());
    if (rc != 0) VR_RAISE(rc, L"CVrSrv::GetSubsystemIds");
    ids.assign(buf.begin(), buf.begin() + (count < 1024 ? count : 1024));
}

DWORD CVrSrv::SessionId() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessionId;
}

HANDLE CVrSrv::Handle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handle;
}

std::wstring CVrQuick::make_session_name(const std::wstring& modulePath, DWORD processId) {
    std::wstring path = modulePath.substr(0, 260);
    size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) VR_RAISE(10, L"CVrQuick::CVrQuick");  // no folder in the path
    std::wstring base = path.substr(slash + 1);
    size_t dot = base.rfind(L'.');
    if (dot != std::wstring::npos) base.erase(dot);
    if (base.size() > 80) base.resize(80);
    wchar_t name[128];
    swprintf(name, 128, L"@%ls%04X", base.c_str(), static_cast<unsigned>(processId));
    return name;
}

CVrQuick::CVrQuick() {
    wchar_t module[261] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, module, 260);
    if (n == 0) VR_RAISE_LAST_ERROR(L"CVrQuick::CVrQuick");
    m_srv.OpenSession(make_session_name(std::wstring(module, n), ::GetCurrentProcessId()), kClientSessionFlags);
}

CVrQuick::~CVrQuick() {
    VrBase::GuardVoid(L"CVrQuick::~CVrQuick", [&] { m_srv.CloseSession(); });
}
