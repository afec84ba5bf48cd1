#pragma once
// Running the core and its peers as real processes for the tests.
#include "support/test_support.h"
#include "vrbase/scope.h"

#include <windows.h>

#include <memory>
#include <string>

namespace coretest {

// The core's registry configuration for one test (removed afterwards) with
// the journal in a scratch folder.
class CoreConfig {
public:
    explicit CoreConfig(DWORD replyTimeoutMs = 0);
    const std::wstring& JournalPath() const { return m_journal; }

private:
    vrtest::TempDir m_dir{L"vrcc"};
    vrtest::RegKeyScope m_key;
    std::wstring m_journal;
};

// VrCC.exe --console as a child; ended when the object goes.
class CoreProcess {
public:
    CoreProcess() = default;
    ~CoreProcess() { Kill(); }
    // Starts it and waits until its pipe answers.
    void Start();
    void Kill();
    HANDLE Process() const { return m_process.get(); }

private:
    VrBase::unique_handle m_process;
};

// True once the core's pipe accepts a connection (waits up to ms).
bool WaitForCore(DWORD ms);

// core_peer.exe in one of its modes; the tag names its events.
class Peer {
public:
    // ordinaryUser: started with a restricted token (Administrators deny-only);
    // mayImpersonate: that token keeps SeImpersonatePrivilege.
    Peer(const std::wstring& mode, const std::wstring& arg, bool ordinaryUser = false, bool mayImpersonate = false);
    ~Peer();
    // Waits for "<tag>-ready"; false if the peer ended first.
    bool WaitReady(DWORD ms = 20000);
    bool WaitEvent(const wchar_t* suffix, DWORD ms);
    void SignalStop();
    DWORD WaitExit(DWORD ms = 20000);
    void Kill();
    HANDLE Process() const { return m_process.get(); }
    const std::wstring& Tag() const { return m_tag; }

private:
    VrBase::unique_handle Event(const wchar_t* suffix) const;
    std::wstring m_tag;
    VrBase::unique_handle m_process;
};

// Runs a program beside the test with its output captured (UTF-8).
DWORD RunCaptured(const std::wstring& exeName, const std::wstring& args, std::string& output, DWORD timeoutMs = 60000);

std::wstring CurrentUserSid();

} // namespace coretest
