// The other process of the core tests.
//   core_peer receiver NAME TAG      opens session NAME, answers the test ids, runs until "<TAG>-stop"
//   core_peer client-receiver NAME TAG   the same as a client session
//   core_peer notify COMPONENT state|config TAG   one agent notification ("status" or "full"); exit code = result
//   core_peer send-hang NAME TAG     sends kHang to the first session NAME and waits (to be killed)
//   core_peer fake-core - TAG        serves the core's pipe itself; "<TAG>-got" once a client sent anything
//   core_peer borrow PID -           speaks with an impersonation copy of process PID's token (as an ordinary
//                                    user: its administrator parent's); exit code = what the core took:
//                                    1 policy set, 2 a record as S-1-5-18, 4 a service session; 100+ no copy
//   core_peer borrow-after-giving-up PID -   connects, removes its SeImpersonatePrivilege, then sets policy
//                                    with PID's token: 1 taken on that connection, 2 on a new one; 100+ failed
#include "core_test_ids.h"
#include "client_support.h"
#include "vrbase/trace.h"
#include "vrevtapi.h"
#include "vrsrvapi.h"

#include <sddl.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

VR_DEFINE_MODULE_TRACE(L"CorePeer")

using namespace coretest;

namespace {

std::wstring g_tag;
std::atomic<DWORD> g_notes{0};
std::mutex g_noteMutex;
std::vector<BYTE> g_lastNote;

HANDLE NamedEvent(const wchar_t* suffix) {
    std::wstring name = L"Local\\vrcc-test-" + g_tag + suffix;
    return ::CreateEventW(nullptr, TRUE, FALSE, name.c_str());
}

std::wstring WhoAmI() {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size);
    BOOL member = FALSE;
    ::CheckTokenMembership(nullptr, admins, &member);
    std::wstring user = L"none";
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        BYTE buf[512];
        DWORD got = 0;
        LPWSTR text = nullptr;
        if (::GetTokenInformation(token, TokenUser, buf, sizeof buf, &got) &&
            ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &text)) {
            user = text;
            ::LocalFree(text);
        }
        ::CloseHandle(token);
    }
    return L"admin=" + std::to_wstring(member ? 1 : 0) + L";user=" + user;
}

DWORD Reply(const void* data, DWORD size, DWORD* replySize, void* reply, DWORD tooSmall = ERROR_INSUFFICIENT_BUFFER) {
    if (!reply || *replySize < size) {
        *replySize = size;
        return tooSmall;
    }
    if (size) std::memcpy(reply, data, size);
    *replySize = size;
    return 0;
}

DWORD WINAPI SendRoutine(void*, VRM_MESSAGE* m, DWORD* replySize, void* reply) {
    switch (m->MessageId) {
    case kEcho:
        return Reply(m->Data, m->DataSize, replySize, reply);
    case kWhoAmI: {
        std::wstring who = WhoAmI();
        return Reply(who.c_str(), static_cast<DWORD>((who.size() + 1) * sizeof(wchar_t)), replySize, reply);
    }
    case kBig:
    case kTooSmall111: {
        DWORD n = 0;
        if (m->DataSize >= 4) std::memcpy(&n, m->Data, 4);
        std::vector<BYTE> bytes(n);
        for (DWORD i = 0; i < n; ++i) bytes[i] = Pattern(i);
        return Reply(bytes.data(), n, replySize, reply,
                     m->MessageId == kBig ? ERROR_INSUFFICIENT_BUFFER : ERROR_BUFFER_OVERFLOW);
    }
    case kHang: {
        HANDLE busy = NamedEvent(L"-busy");
        HANDLE stop = NamedEvent(L"-stop");
        ::SetEvent(busy);
        ::WaitForSingleObject(stop, INFINITE);
        return 0;
    }
    case kTokenLevel: {
        DWORD level = 0xFFFFFFFF;
        HANDLE token = nullptr;
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
            SECURITY_IMPERSONATION_LEVEL l;
            DWORD got = 0;
            if (::GetTokenInformation(token, TokenImpersonationLevel, &l, sizeof l, &got)) level = l;
            ::CloseHandle(token);
        }
        return Reply(&level, sizeof level, replySize, reply);
    }
    case kNotes: {
        std::lock_guard<std::mutex> lock(g_noteMutex);
        std::vector<BYTE> out(4);
        DWORD count = g_notes;
        std::memcpy(out.data(), &count, 4);
        out.insert(out.end(), g_lastNote.begin(), g_lastNote.end());
        return Reply(out.data(), static_cast<DWORD>(out.size()), replySize, reply);
    }
    default:
        return 0;
    }
}

DWORD WINAPI PostRoutine(void*, VRM_MESSAGE* m) {
    if (m->MessageId == kNote) {
        std::lock_guard<std::mutex> lock(g_noteMutex);
        g_lastNote.assign(m->Data, m->Data + m->DataSize);
        ++g_notes;
    }
    return 0;
}

int Receiver(const wchar_t* name, DWORD flags) {
    VR_SESSION s{};
    s.Name = name;
    s.Flags = flags;
    s.SendRoutine = &SendRoutine;
    s.PostRoutine = &PostRoutine;
    s.Version = {{8, 3, 1406, 0}, 0};
    s.Version2 = s.Version;
    if (DWORD e = VrOpenSession(&s)) return static_cast<int>(e);
    for (DWORD id : {kEcho, kWhoAmI, kBig, kTooSmall111, kHang, kNote, kNotes, kTokenLevel})
        if (DWORD e = VrSubscribeMessage(s.Handle, id, TRUE)) return static_cast<int>(e);
    ::SetEvent(NamedEvent(L"-ready"));
    ::WaitForSingleObject(NamedEvent(L"-stop"), INFINITE);
    return static_cast<int>(VrCloseSession(s.Handle));
}

int Notify(const wchar_t* component, const std::wstring& kind) {
    HANDLE source = VrRegisterEventSourceEx(component, L"");
    if (!source) return static_cast<int>(::GetLastError());
    DWORD e = kind == L"state" ? VrNotifyStateChanged(source, L"status") : VrNotifyConfigChanged(source, L"full");
    VrDeregisterEventSource(source);
    return static_cast<int>(e);
}

int SendHang(const wchar_t* name) {
    VR_SESSION s{};
    s.Name = L"vrtest.hang-sender";
    s.Flags = VR_SESSION_CLIENT | 2;
    if (DWORD e = VrOpenSession(&s)) return static_cast<int>(e);
    DWORD ids[8], count = 8;
    if (DWORD e = VrGetSubsystemIds(s.Handle, name, &count, ids)) return static_cast<int>(e);
    if (!count) return ERROR_NOT_FOUND;
    ::SetEvent(NamedEvent(L"-ready"));
    DWORD size = 0;
    return static_cast<int>(VrSendMessage(s.Handle, ids[0], kHang, 0, nullptr, &size, nullptr));
}

int FakeCore() {
    HANDLE stop = NamedEvent(L"-stop");
    HANDLE got = NamedEvent(L"-got");
    HANDLE pipe = ::CreateNamedPipeW(L"\\\\.\\pipe\\VrCC.Core", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     65536, 65536, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
    ::SetEvent(NamedEvent(L"-ready"));
    HANDLE io = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        OVERLAPPED ov{};
        ov.hEvent = io;
        ::ResetEvent(io);
        if (!::ConnectNamedPipe(pipe, &ov) && ::GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[2] = {io, stop};
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
        }
        // Whatever a client sends is answered "done", as a squatter would.
        BYTE buf[65536];
        ::ResetEvent(io);
        DWORD n = 0;
        if (::ReadFile(pipe, buf, sizeof buf, nullptr, &ov) || ::GetLastError() == ERROR_IO_PENDING ||
            ::GetLastError() == ERROR_MORE_DATA) {
            HANDLE waits[2] = {io, stop};
            DWORD rc = ::WaitForMultipleObjects(2, waits, FALSE, 3000);
            if (rc == WAIT_OBJECT_0 + 1) return 0;
            if (rc == WAIT_OBJECT_0 && (::GetOverlappedResult(pipe, &ov, &n, FALSE) || ::GetLastError() == ERROR_MORE_DATA))
                if (n > 0) ::SetEvent(got);
            if (rc != WAIT_OBJECT_0) ::CancelIoEx(pipe, &ov);
        }
        ::DisconnectNamedPipe(pipe);
    }
}

DWORD WINAPI NoSend(void*, VRM_MESSAGE*, DWORD* replySize, void*) {
    *replySize = 0;
    return 0;
}

int Borrow(DWORD pid) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    HANDLE own = nullptr, copy = nullptr;
    if (!process || !::OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, &own)) return 101;
    if (!::DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation, &copy))
        return 102;
    if (!::SetThreadToken(nullptr, copy)) return 103;
    int took = 0;

    vrcc::PayloadWriter w;
    w.str(L"BORROWED").str(L"<Borrowed/>").u64(reinterpret_cast<uintptr_t>(copy));
    vrcc::Frame answer;
    if (vrcc::CoreCall(vrcc::CmdPolicySet, w.data(), answer) == 0) took |= 1;

    HANDLE source = VrRegisterEventSourceEx(L"ROZEDURI", L"Borrowed");
    PSID system = nullptr;
    ::ConvertStringSidToSidW(L"S-1-5-18", &system);
    const WCHAR* text[] = {L"written-with-a-borrowed-token"};
    if (source && VrWriteEvent(source, 0, 1, 0x451, system, 1, 0, text, nullptr)) took |= 2;
    ::LocalFree(system);
    if (source) VrDeregisterEventSource(source);

    VR_SESSION session{};
    session.Name = L"BorrowedService";
    session.SendRoutine = &NoSend;
    if (VrOpenSession(&session) == 0) {
        took |= 4;
        VrCloseSession(session.Handle);
    }
    return took;
}

bool HoldsImpersonate(HANDLE token) {
    LUID wanted{};
    ::LookupPrivilegeValueW(nullptr, SE_IMPERSONATE_NAME, &wanted);
    BYTE buf[2048];
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenPrivileges, buf, sizeof buf, &size)) return false;
    const TOKEN_PRIVILEGES* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buf);
    for (DWORD i = 0; i < held->PrivilegeCount; ++i)
        if (held->Privileges[i].Luid.LowPart == wanted.LowPart && held->Privileges[i].Luid.HighPart == wanted.HighPart)
            return (held->Privileges[i].Attributes & SE_PRIVILEGE_REMOVED) == 0;
    return false;
}

DWORD PolicySetOn(HANDLE pipe, const wchar_t* name, HANDLE token) {
    vrcc::PayloadWriter w;
    w.str(name).str(L"<Borrowed/>").u64(reinterpret_cast<uintptr_t>(token));
    std::vector<BYTE> f = vrcc::EncodeFrame(vrcc::CmdPolicySet, 1, 0, w.take());
    DWORD n = 0;
    if (!::WriteFile(pipe, f.data(), static_cast<DWORD>(f.size()), &n, nullptr)) return ~0u;
    BYTE buf[4096];
    if (!::ReadFile(pipe, buf, sizeof buf, &n, nullptr)) return ~0u;
    return vrcc::CheckHeader(buf, n).status;
}

// Connects while it may impersonate, then gives that right up for good and
// hands over its administrator parent's token on the same connection and on
// a new one.
int BorrowAfterGivingUp(DWORD pid) {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    HANDLE parent = nullptr, copy = nullptr, own = nullptr;
    if (!process || !::OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, &parent)) return 101;
    if (!::DuplicateTokenEx(parent, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation, &copy))
        return 102;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, &own)) return 103;
    if (!HoldsImpersonate(own)) return 104;
    HANDLE pipe = ::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 105;
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    // One answer first, so the core has taken the connection in.
    if (PolicySetOn(pipe, L"BORROWED", nullptr) == ~0u) return 106;
    TOKEN_PRIVILEGES drop{1, {{{0, 0}, SE_PRIVILEGE_REMOVED}}};
    ::LookupPrivilegeValueW(nullptr, SE_IMPERSONATE_NAME, &drop.Privileges[0].Luid);
    if (!::AdjustTokenPrivileges(own, FALSE, &drop, 0, nullptr, nullptr) || ::GetLastError() != ERROR_SUCCESS ||
        HoldsImpersonate(own))
        return 107;
    int took = 0;
    if (PolicySetOn(pipe, L"BORROWED", copy) == 0) took |= 1;
    ::CloseHandle(pipe);
    pipe = ::CreateFileW(vrcc::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 108;
    ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
    if (PolicySetOn(pipe, L"BORROWED", copy) == 0) took |= 2;
    ::CloseHandle(pipe);
    return took;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if ((mode == L"receiver" || mode == L"client-receiver") && argc == 4) {
        g_tag = argv[3];
        return Receiver(argv[2], mode == L"receiver" ? 0 : VR_SESSION_CLIENT | 2);
    }
    if (mode == L"notify" && argc == 5) return Notify(argv[2], argv[3]);
    if (mode == L"send-hang" && argc == 4) {
        g_tag = argv[3];
        return SendHang(argv[2]);
    }
    if (mode == L"fake-core" && argc == 4) {
        g_tag = argv[3];
        return FakeCore();
    }
    if (mode == L"borrow" && argc == 4) return Borrow(static_cast<DWORD>(_wtoi(argv[2])));
    if (mode == L"borrow-after-giving-up" && argc == 4) return BorrowAfterGivingUp(static_cast<DWORD>(_wtoi(argv[2])));
    return ERROR_INVALID_PARAMETER;
}
