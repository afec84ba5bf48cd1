#include "pipe_channel.h"

#include "vrbase/token_trust.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <algorithm>
#include <cstring>

namespace vrcc {
namespace {

constexpr DWORD kFirstChunk = 64 * 1024;
// Beyond the first chunk a buffer grows to twice what has arrived, but by
// at least this much: a declared size alone costs nothing, and a large
// frame is copied only a few times.
constexpr size_t kGrowStep = 1024 * 1024;
constexpr DWORD kBusyWaitMs = 5000;

VrBase::unique_handle NewEvent() {
    VrBase::unique_handle e(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!e) VR_RAISE_LAST_ERROR(L"vrcc::NewEvent");
    return e;
}

bool IsClosedError(DWORD e) {
    return e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED || e == ERROR_NO_DATA ||
           e == ERROR_PIPE_LISTENING;
}

// The process id the service control manager gives for the service VrCC
// while it runs; 0 otherwise.
DWORD CoreServiceProcessId() {
    VrBase::unique_schandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return 0;
    VrBase::unique_schandle service(::OpenServiceW(scm.get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service) return 0;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed) ||
        status.dwCurrentState == SERVICE_STOPPED)
        return 0;
    return status.dwProcessId;
}

} // namespace

DWORD CheckCoreServer(HANDLE pipe) {
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &server)) return ::GetLastError();
    if (server != 0 && server == CoreServiceProcessId()) return 0;
    // VrCC.exe --console: a process of LocalSystem or of an elevated
    // administrator.
    VrBase::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server));
    VrBase::unique_handle token;
    if (process && ::OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE, token.put()) &&
        VrBase::Trust::IsAdministrator(token.get()))
        return 0;
    VR_TRACE(VrBase::TL_ERROR, L"vrcc::CheckCoreServer",
             L"%ls is served by process %u, which is neither the service %ls nor SYSTEM's or an administrator's: "
             L"nothing sent",
             kPipeName, static_cast<unsigned>(server), kServiceName);
    return kErrUntrustedCore;
}

CPipeChannel::CPipeChannel(VrBase::unique_hfile pipe)
    : m_pipe(std::move(pipe)), m_readEvent(NewEvent()), m_writeEvent(NewEvent()) {}

IoResult CPipeChannel::Finish(OVERLAPPED& ov, BOOL started, HANDLE cancel, DWORD timeoutMs, DWORD& transferred,
                              bool& more, DWORD& error) {
    more = false;
    transferred = 0;
    if (!started) {
        error = ::GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
            return IsClosedError(error) ? IoResult::Closed : IoResult::Failed;
    }
    IoResult outcome = IoResult::Ok;
    HANDLE waits[2] = {ov.hEvent, cancel};
    DWORD rc = ::WaitForMultipleObjects(cancel ? 2 : 1, waits, FALSE, timeoutMs);
    if (rc != WAIT_OBJECT_0) {
        outcome = rc == WAIT_TIMEOUT ? IoResult::TimedOut : IoResult::Cancelled;
        ::CancelIoEx(m_pipe.get(), &ov);
    }
    // Waits for the operation to leave the OVERLAPPED, cancelled or not; one
    // that finished in the meantime counts as finished.
    if (::GetOverlappedResult(m_pipe.get(), &ov, &transferred, TRUE)) {
        error = 0;
        return IoResult::Ok;
    }
    error = ::GetLastError();
    if (error == ERROR_MORE_DATA) {
        more = true;
        return IoResult::Ok;
    }
    if (outcome != IoResult::Ok) return outcome;
    return IsClosedError(error) ? IoResult::Closed : IoResult::Failed;
}

IoResult CPipeChannel::ReadChunk(BYTE* buffer, DWORD size, HANDLE cancel, DWORD timeoutMs, DWORD& got, bool& more,
                                 DWORD& error) {
    OVERLAPPED ov{};
    ov.hEvent = m_readEvent.get();
    ::ResetEvent(ov.hEvent);
    BOOL started = ::ReadFile(m_pipe.get(), buffer, size, nullptr, &ov);
    return Finish(ov, started, cancel, timeoutMs, got, more, error);
}

bool CReadHold::Grow(size_t bytes) {
    if (m_budget && !m_budget->Take(bytes)) return false;
    m_bytes += bytes;
    return true;
}

void CReadHold::Reset() {
    if (m_budget && m_bytes) m_budget->Give(m_bytes);
    m_bytes = 0;
}

size_t CReadHold::HandOn() {
    const size_t bytes = m_bytes;
    m_bytes = 0;
    return bytes;
}

IoResult CPipeChannel::Read(Frame& frame, HANDLE cancel, DWORD timeoutMs, DWORD& error, const ReadBounds& bounds) {
    std::vector<BYTE> buf(kFirstChunk);
    DWORD got = 0;
    bool more = false;
    IoResult r = ReadChunk(buf.data(), kFirstChunk, cancel, timeoutMs, got, more, error);
    if (r != IoResult::Ok) return r;
    size_t have = got;
    bool kept = true;
    if (more) {
        // The message is larger than the first chunk: its header says how
        // much, and that claim is checked before the buffer grows.
        const FrameHeader h = PeekHeader(buf.data(), have);
        const size_t total = sizeof h + h.payloadSize;
        if (total <= have) throw ProtocolError("frame longer than its header says");
        if (bounds.hold) bounds.hold->Begin(h);
        const DWORD restMs = timeoutMs < bounds.restTimeoutMs ? timeoutMs : bounds.restTimeoutMs;
        while (more) {
            if (have == total) throw ProtocolError("frame longer than its header says");
            if (kept && have == buf.size()) {
                const size_t next = (std::min)(total, have + (std::max)(have, kGrowStep));
                // Once the buffer grows past the first chunk, the hold
                // covers all of it.
                if (bounds.hold && !bounds.hold->Grow(next - bounds.hold->Bytes())) {
                    // Refused: the rest is read and dropped, so the stream
                    // stays in step and the request can be answered.
                    kept = false;
                    std::vector<BYTE>(kFirstChunk).swap(buf);
                    bounds.hold->Reset();
                } else {
                    buf.reserve(next);  // exactly: the hold is the capacity
                    buf.resize(next);
                }
            }
            BYTE* into = kept ? buf.data() + have : buf.data();
            const size_t room = kept ? buf.size() - have : (std::min)(buf.size(), total - have);
            r = ReadChunk(into, static_cast<DWORD>(room), cancel, restMs, got, more, error);
            if (r != IoResult::Ok) return r;
            have += got;
        }
        if (!kept) {
            if (have != total) throw ProtocolError("frame length differs from its header");
            frame.command = h.command;
            frame.id = h.id;
            frame.status = h.status;
            frame.payload.clear();
            return IoResult::Refused;
        }
    }
    buf.resize(have);
    FrameHeader h = CheckHeader(buf.data(), buf.size());
    frame.command = h.command;
    frame.id = h.id;
    frame.status = h.status;
    buf.erase(buf.begin(), buf.begin() + sizeof h);
    frame.payload = std::move(buf);
    return IoResult::Ok;
}

IoResult CPipeChannel::Write(const std::vector<BYTE>& bytes, HANDLE cancel, DWORD timeoutMs, DWORD& error) {
    OVERLAPPED ov{};
    ov.hEvent = m_writeEvent.get();
    ::ResetEvent(ov.hEvent);
    BOOL started = ::WriteFile(m_pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov);
    DWORD done = 0;
    bool more = false;
    IoResult r = Finish(ov, started, cancel, timeoutMs, done, more, error);
    if (r == IoResult::Ok && done != bytes.size()) {
        error = ERROR_WRITE_FAULT;
        return IoResult::Failed;
    }
    return r;
}

DWORD ConnectToCore(VrBase::unique_hfile& pipe) {
    const ULONGLONG deadline = ::GetTickCount64() + kBusyWaitMs;
    for (;;) {
        // Dynamic tracking lets the core see the identity of the thread
        // that writes each request.
        pipe.reset(::CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IMPERSONATION |
                                     SECURITY_CONTEXT_TRACKING,
                                 nullptr));
        if (pipe) break;
        DWORD e = ::GetLastError();
        ULONGLONG now = ::GetTickCount64();
        if (e != ERROR_PIPE_BUSY || now >= deadline) return e;
        ::WaitNamedPipeW(kPipeName, static_cast<DWORD>(deadline - now));
    }
    // Nothing is sent to a server that could be anybody's.
    if (DWORD e = CheckCoreServer(pipe.get())) {
        pipe.reset();
        return e;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
        DWORD e = ::GetLastError();
        pipe.reset();
        return e;
    }
    return 0;
}

bool MeansCoreDown(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_PIPE_BUSY:
    case ERROR_SEM_TIMEOUT:
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NO_DATA:
        return true;
    default:
        return false;
    }
}

} // namespace vrcc
