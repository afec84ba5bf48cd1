#pragma once
// Client sessions on the core service, through its client library loaded
// by name.
#include "vrsrvapi.h"
#include "vrbase/scope.h"

#include <windows.h>
#include <mutex>
#include <string>
#include <vector>

// The version block of the installed core client ("ClientVersion").
VR_VERSION read_client_version();
VR_VERSION client_version_for_major(int major);

class CVrSrv {
public:
    // Loads "VrSrvApi.dll"; 0xE601000D when it cannot.
    CVrSrv();
    // Closes an open session and unloads; never raises, keeps the last error.
    ~CVrSrv();
    CVrSrv(const CVrSrv&) = delete;
    CVrSrv& operator=(const CVrSrv&) = delete;

    DWORD OpenSession(const std::wstring& name, DWORD flags);
    void CloseSession();
    // False when the reply buffer was too small (replySize may hold the
    // size needed); other failures raise.
    bool SendMessageW(DWORD destination, DWORD messageId, DWORD dataSize, const void* data, DWORD* replySize,
                      void* replyBuffer);
    // The ids of the scan service's sessions, oldest first.
    void GetSubsystemIds(std::vector<DWORD>& ids);
    DWORD SessionId();
    HANDLE Handle();

private:
    template <class F>
    F bound(F f, const wchar_t* name) const;

    VrBase::unique_hmodule m_module;
    PFN_VrOpenSession m_open = nullptr;
    PFN_VrCloseSession m_close = nullptr;
    PFN_VrSendMessage m_send = nullptr;
    PFN_VrGetSubsystemIds m_ids = nullptr;
    std::mutex m_mutex;
    unsigned m_openCount = 0;
    HANDLE m_handle = nullptr;
    DWORD m_sessionId = 0;
};

// A short client session named after the process: "@" + executable base
// name + process id in upper-case hexadecimal.
class CVrQuick {
public:
    CVrQuick();
    ~CVrQuick();
    CVrQuick(const CVrQuick&) = delete;
    CVrQuick& operator=(const CVrQuick&) = delete;
    CVrSrv& srv() { return m_srv; }

    // 10 for a path without a folder.
    static std::wstring make_session_name(const std::wstring& modulePath, DWORD processId);

private:
    CVrSrv m_srv;
};
