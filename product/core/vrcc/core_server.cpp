#include "core_server.h"

#include "core_identity.h"
#include "receiver_inbox.h"
#include "pipe_channel.h"
#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/token_trust.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrsrvapi.h"

#include <sddl.h>

#include <algorithm>
#include <deque>
#include <set>

namespace vrcc {
namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;
constexpr DWORD kWriteTimeoutMs = 30000;  // a client that stops reading is dropped after this
constexpr DWORD kFrameRestTimeoutMs = 30000;  // ... or stops writing in the middle of a frame
constexpr size_t kMaxQueuedBytes = 4ull * kMaxPayload;
// A connection that opens neither a session nor an agent's registration
// serves single requests: one silent this long is dropped.
constexpr ULONGLONG kUnopenedIdleMs = 10000;
// ... and one open this long may be dropped to make room for a newcomer:
// time enough to open a session, while asking something now and then buys
// no protection.
constexpr ULONGLONG kEvictableAfterMs = 200;
// A client's next request is not read while this much waits to be written
// to it: one that never reads its answers costs no more than this.
constexpr size_t kReadPauseBytes = 1024 * 1024;
// A short answer that ends a request goes beyond every bound to a client
// whose queue holds less than this, one that reads its answers: else, with
// the core full, the request would wait out the client's time-out.
constexpr size_t kShortAnswer = 4 * 1024;
constexpr size_t kAnswerQueueRoom = 64 * 1024;
constexpr uint32_t kMaxPolicyChars = 1024 * 1024;
constexpr size_t kEventReadChunk = 1024 * 1024;
constexpr DWORD kStopWaitMs = 15000;

struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                      TRUE) == CSTR_LESS_THAN;
    }
};

bool SameNoCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

// An ordinary writer is its user in its logon session.
std::wstring WriterKey(HANDLE token, const std::wstring& sid) {
    TOKEN_STATISTICS st{};
    DWORD size = 0;
    ::GetTokenInformation(token, TokenStatistics, &st, sizeof st, &size);
    return sid + L"/" + std::to_wstring(st.AuthenticationId.HighPart) + L"." +
           std::to_wstring(st.AuthenticationId.LowPart);
}

std::wstring SidText(const BYTE* sid, uint32_t size) {
    if (!size) return L"-";
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<BYTE*>(sid), &text)) return L"-";
    VrBase::unique_hlocal owner(text);
    return text;
}

// Whether a core we would trust already serves the pipe.
bool TrustedCoreServes() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        VrBase::unique_hfile pipe(
            ::CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe) return CheckCoreServer(pipe.get()) == 0;
        if (::GetLastError() != ERROR_PIPE_BUSY) return false;
        ::WaitNamedPipeW(kPipeName, 1000);
    }
    return false;  // never free: not a core that serves
}

} // namespace

// One client's pipe. The reader thread runs Run() and dispatches; frames
// for the client go through a queue that the writer thread drains, so no
// other thread ever waits on this client's pipe.
class CConnection : public std::enable_shared_from_this<CConnection>, private IReadBudget {
public:
    CConnection(CCoreServer& server, VrBase::unique_hfile pipe, uint64_t serial)
        : serial(serial), m_server(server), m_readHold(this), m_channel(std::move(pipe)),
          m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (!m_stop) VR_RAISE_LAST_ERROR(L"CConnection::CConnection");
        ::GetNamedPipeClientProcessId(m_channel.handle(), &m_pid);
        m_process.reset(::OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, m_pid));
        m_client = ClientProcess::Read(m_process.get());
    }

    void Run() {
        VrBase::CSehCatcher seh;
        VrBase::CRTLTranslator rtl;
        std::thread writer;
        VrBase::GuardVoid(L"CConnection::Run", [&] {
            writer = std::thread([this] {
                VrBase::CSehCatcher wseh;
                VrBase::CRTLTranslator wrtl;
                VrBase::GuardVoid(L"CConnection::WriterLoop", [&] { WriterLoop(); });
                Close();
            });
            ReadLoop();
        });
        Close();
        m_server.Forget(*this);
        if (writer.joinable()) writer.join();
        ::DisconnectNamedPipe(m_channel.handle());
    }

    enum class Queued { Yes, Busy, Closed };
    // Closed once the connection is closing, Busy when the core holds as
    // much as it may for all connections together; the frame is dropped
    // then. token is a handle the frame hands to this client's process: it
    // is closed there if the frame is dropped after it was queued. handed:
    // what the frame read it was built from held (see HandOn).
    // privileged: made for SYSTEM or an administrator (see kPrivilegedRoom).
    // ends: a short answer that ends a request (see kShortAnswer).
    Queued Enqueue(std::vector<BYTE> frame, uint64_t token = 0, size_t handed = 0, bool privileged = false,
                   bool ends = false) {
        const size_t size = frame.size();
        if (!m_server.Hold(size, handed, privileged) && !(ends && size <= kShortAnswer && TakeForAnswer(size)))
            return Queued::Busy;
        bool closed;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            closed = m_closed;
            if (!closed && m_queuedBytes + size <= kMaxQueuedBytes) {
                m_queuedBytes += size;
                m_queue.push_back(Outgoing{std::move(frame), token});
                m_queueCv.notify_one();
                return Queued::Yes;
            }
        }
        m_server.Release(size);
        if (closed) return Queued::Closed;
        VR_TRACE(VrBase::TL_WARNING, L"CConnection::Enqueue", L"process %u does not read its pipe; dropped", m_pid);
        Close();
        return Queued::Closed;
    }

    bool TakeForAnswer(size_t size) {
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_closed || m_queuedBytes >= kAnswerQueueRoom) return false;
        }
        m_server.m_heldBytes += size;
        return true;
    }

    void Close() {
        std::deque<Outgoing> dropped;
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_closed) return;
            m_closed = true;
            dropped.swap(m_queue);
            m_queuedBytes = 0;
            m_queueCv.notify_all();
        }
        ::SetEvent(m_stop.get());
        m_channel.CancelAll();
        for (const Outgoing& o : dropped) {
            CloseInProcess(m_process.get(), o.token);
            m_server.Release(o.bytes.size());
        }
    }

    // In a handler, on this connection's reader thread, once the request's
    // payload is no longer read: frees it and returns what its buffer held,
    // for the frame built from it to hold instead (Enqueue's handed).
    size_t HandOn(Frame& f) {
        std::vector<BYTE>().swap(f.payload);
        return m_readHold.HandOn();
    }
    size_t ReadHeld() const { return m_readHold.Bytes(); }

    HANDLE Pipe() const { return m_channel.handle(); }
    HANDLE Process() const { return m_process.get(); }
    const ClientProcess& Client() const { return m_client; }
    DWORD Pid() const { return m_pid; }

    // Guarded by the server's mutex.
    const uint64_t serial;
    DWORD sessionId = 0;
    std::wstring name;
    DWORD flags = 0;
    DWORD routines = 0;
    std::atomic<bool> privileged{false};  // opened by SYSTEM or an administrator
    FILETIME opened{};
    std::set<DWORD> subscriptions;
    std::set<std::wstring, NoCaseLess> agentFor;
    CReceiverInbox inbox;  // deliveries not yet answered
    std::atomic<ULONGLONG> lastFrameTick{::GetTickCount64()};
    ULONGLONG acceptedTick = ::GetTickCount64();

    bool IsClientSession() const { return (flags & VR_SESSION_CLIENT) != 0; }
    // Neither a session nor an agent: a connection for single requests.
    bool Unopened() const { return !sessionId && agentFor.empty(); }

private:
    struct Outgoing {
        std::vector<BYTE> bytes;
        uint64_t token;
    };

    // The frames this connection sends are read within the privileged room
    // once its session is an administrator's, or without a session when it
    // is a process of SYSTEM or an administrator (a service's journal
    // record, an administrator's policy); a reply only when it is made for
    // SYSTEM or an administrator too, else an ordinary sender asking a
    // service for large replies would keep that room taken. These run on
    // the reader thread, which is also the one that opens the session.
    void Begin(const FrameHeader& h) override {
        m_frameRoom = (sessionId ? privileged.load() : m_client.administrator) &&
                      (h.command != CmdDeliverReply || m_server.ForPrivileged(h.id));
    }
    bool Take(size_t bytes) override { return m_server.TakeFor(bytes, m_frameRoom); }
    void Give(size_t bytes) override { m_server.Release(bytes); }

    void ReadLoop() {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_queueMutex);
                m_queueCv.wait(lock, [&] { return m_closed || m_queuedBytes <= kReadPauseBytes; });
                if (m_closed) return;
            }
            // What the frame's buffer holds is given back once the frame is
            // done with (after its memory), unless a handler handed it on.
            VrBase::scope_exit done([this] { m_readHold.Reset(); });
            Frame f;
            DWORD e = 0;
            IoResult r;
            try {
                r = m_channel.Read(f, m_stop.get(), INFINITE, e, ReadBounds{&m_readHold, kFrameRestTimeoutMs});
                if (r != IoResult::Ok && r != IoResult::Refused) {
                    if (r == IoResult::Failed)
                        VR_TRACE(VrBase::TL_WARNING, L"CConnection::ReadLoop", L"process %u: read failed, err %u", m_pid,
                                 e);
                    if (r == IoResult::TimedOut)
                        VR_TRACE(VrBase::TL_WARNING, L"CConnection::ReadLoop",
                                 L"process %u stopped in the middle of a frame; dropped", m_pid);
                    return;
                }
                lastFrameTick = ::GetTickCount64();
                if (r == IoResult::Refused) m_server.OnRefused(*this, f);
                else m_server.Dispatch(*this, f);
            } catch (const ProtocolError& p) {
                VR_TRACE(VrBase::TL_WARNING, L"CConnection::ReadLoop", L"process %u broke the protocol (%hs); dropped",
                         m_pid, p.what());
                return;
            }
        }
    }

    void WriterLoop() {
        for (;;) {
            std::vector<BYTE> frame;
            {
                std::unique_lock<std::mutex> lock(m_queueMutex);
                m_queueCv.wait(lock, [&] { return m_closed || !m_queue.empty(); });
                if (m_closed) return;
                frame = std::move(m_queue.front().bytes);
                m_queue.pop_front();
                m_queuedBytes -= frame.size();
                m_queueCv.notify_all();  // a reader may wait for room
            }
            DWORD e = 0;
            IoResult r = m_channel.Write(frame, m_stop.get(), kWriteTimeoutMs, e);
            m_server.Release(frame.size());
            if (r != IoResult::Ok) {
                if (r == IoResult::TimedOut)
                    VR_TRACE(VrBase::TL_WARNING, L"CConnection::WriterLoop", L"process %u stopped reading; dropped", m_pid);
                return;
            }
        }
    }

    CCoreServer& m_server;
    CReadHold m_readHold;  // the frame being read or handled; the reader thread's
    bool m_frameRoom = false;  // whether that frame may take the privileged room; the reader thread's
    CPipeChannel m_channel;
    VrBase::unique_handle m_stop;
    DWORD m_pid = 0;
    VrBase::unique_handle m_process;
    ClientProcess m_client;  // read once; its process handle is m_process's
    std::mutex m_queueMutex;
    std::condition_variable m_queueCv;
    std::deque<Outgoing> m_queue;
    size_t m_queuedBytes = 0;
    bool m_closed = false;
};

namespace {

void Answer(CConnection& conn, const Frame& request, DWORD status, const std::vector<BYTE>& payload = {}) {
    const uint16_t command = static_cast<uint16_t>(request.command | kReply);
    if (conn.Enqueue(EncodeFrame(command, request.id, status, payload), 0, 0, conn.privileged, true) ==
        CConnection::Queued::Busy)
        conn.Enqueue(EncodeFrame(command, request.id, kErrReceiverBusy, {}), 0, 0, conn.privileged, true);
}

std::vector<BYTE> NoReplyPayload() {
    PayloadWriter w;
    w.u32(0);
    return w.take();
}

} // namespace

size_t CCoreServer::MaxUnopened() const { return std::max<size_t>(2, m_params.maxConnections / 4); }
size_t CCoreServer::OrdinaryHolders(const CConnection& besides) const {
    size_t n = 0;
    for (auto& c : m_connections) {
        const CConnection& k = *c.second;
        if (&k != &besides && (k.sessionId ? !k.privileged : !k.agentFor.empty())) ++n;
    }
    return n;
}

size_t CCoreServer::AdminRoom() const { return std::max<size_t>(2, m_params.maxConnections / 8); }

bool CCoreServer::Hold(size_t bytes, size_t handed, bool privileged) {
    if (handed >= bytes) {
        Release(handed - bytes);
        return true;
    }
    if (HoldWithin(bytes - handed, Bound(privileged) + (bytes <= kSmallFrame ? kSmallFrameRoom : 0))) return true;
    Release(handed);
    return false;
}


bool CCoreServer::HoldWithin(size_t bytes, size_t limit) {
    size_t held = m_heldBytes.load();
    do {
        if (held + bytes > limit) return false;
    } while (!m_heldBytes.compare_exchange_weak(held, held + bytes));
    return true;
}

void CCoreServer::Release(size_t bytes) { m_heldBytes -= bytes; }

bool CCoreServer::ForPrivileged(uint64_t delivery) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_pending.find(delivery);
    return it != m_pending.end() && it->second.privileged;
}

CCoreServer::CCoreServer(CoreParameters parameters)
    : m_params(std::move(parameters)), m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!m_stop) VR_RAISE_LAST_ERROR(L"CCoreServer::CCoreServer");
}

CCoreServer::~CCoreServer() { Stop(); }

VrBase::unique_hfile CCoreServer::CreateInstance(bool first) {
    SECURITY_ATTRIBUTES sa{sizeof sa, m_pipeSecurity.get(), FALSE};
    const DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    VrBase::unique_hfile pipe(::CreateNamedPipeW(kPipeName, open, mode, PIPE_UNLIMITED_INSTANCES, kPipeBuffer,
                                                 kPipeBuffer, 0, &sa));
    if (!pipe && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        mode &= ~PIPE_REJECT_REMOTE_CLIENTS;  // not known to every system
        pipe.reset(::CreateNamedPipeW(kPipeName, open, mode, PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0,
                                      &sa));
    }
    return pipe;
}

void CCoreServer::Start() {
    // Everyone local may talk to the core; only SYSTEM and administrators
    // may create instances of its pipe.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x0012018b;;;AU)(D;;GA;;;NU)", SDDL_REVISION_1, &sd, nullptr))
        VR_RAISE_LAST_ERROR(L"CCoreServer::Start");
    m_pipeSecurity.reset(sd);
    // One core per machine. Anybody may create the instance mutex's name or
    // the pipe's first: neither keeps the core from starting. Another core
    // is recognised by what a squatter cannot show, a server of the pipe
    // that is the service VrCC or SYSTEM's or an administrator's process.
    m_instanceMutex.reset(::CreateMutexW(nullptr, FALSE, kInstanceMutexName));
    if (!m_instanceMutex || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        m_instanceMutex.reset();
        if (TrustedCoreServes()) VR_RAISE(ERROR_SERVICE_ALREADY_RUNNING, L"CCoreServer::Start");
        VR_TRACE(VrBase::TL_ERROR, L"CCoreServer::Start", L"%ls is held by another program; serving without it",
                 kInstanceMutexName);
    }
    m_firstInstance = CreateInstance(true);
    if (!m_firstInstance) {
        DWORD e = ::GetLastError();
        if (e == ERROR_ACCESS_DENIED || e == ERROR_PIPE_BUSY || e == ERROR_SHARING_VIOLATION) {
            if (TrustedCoreServes()) VR_RAISE(ERROR_SERVICE_ALREADY_RUNNING, L"CCoreServer::Start");
            // Clients refuse the squatter's instances; ours serve beside them.
            VR_TRACE(VrBase::TL_ERROR, L"CCoreServer::Start", L"%ls was created by another program first, err %u",
                     kPipeName, e);
            m_firstInstance = CreateInstance(false);
            e = ::GetLastError();
        }
        if (!m_firstInstance) VR_RAISE(e, L"CCoreServer::Start");
    }
    m_journal.Open(m_params.journalPath);
    m_started = true;
    m_listener = std::thread([this] {
        VrBase::CSehCatcher seh;
        VrBase::CRTLTranslator rtl;
        VrBase::GuardVoid(L"CCoreServer::ListenLoop", [&] { ListenLoop(); });
    });
    m_timer = std::thread([this] {
        VrBase::CSehCatcher seh;
        VrBase::CRTLTranslator rtl;
        VrBase::GuardVoid(L"CCoreServer::TimerLoop", [&] { TimerLoop(); });
    });
    VR_TRACE(VrBase::TL_INFO, L"CCoreServer::Start", L"serving %ls; journal %ls; reply time-out %u ms", kPipeName,
             m_params.journalPath.c_str(), m_params.replyTimeoutMs);
}

void CCoreServer::Stop() {
    if (!m_started) return;
    m_started = false;
    ::SetEvent(m_stop.get());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_cv.notify_all();
    }
    if (m_listener.joinable()) m_listener.join();
    if (m_timer.joinable()) m_timer.join();
    std::vector<std::shared_ptr<CConnection>> all;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& c : m_connections) all.push_back(c.second);
    }
    for (auto& c : all) c->Close();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return m_liveConnections == 0; }))
        VR_TRACE(VrBase::TL_ERROR, L"CCoreServer::Stop", L"%u connections did not end", (unsigned)m_liveConnections);
}

void CCoreServer::ListenLoop() {
    VrBase::unique_hfile instance = std::move(m_firstInstance);
    VrBase::unique_handle connected(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected) VR_RAISE_LAST_ERROR(L"CCoreServer::ListenLoop");
    for (;;) {
        if (!instance) {
            instance = CreateInstance(false);
            if (!instance) {
                VR_TRACE(VrBase::TL_ERROR, L"CCoreServer::ListenLoop", L"cannot create a pipe instance, err %u",
                         ::GetLastError());
                if (::WaitForSingleObject(m_stop.get(), 1000) == WAIT_OBJECT_0) return;
                continue;
            }
        }
        OVERLAPPED ov{};
        ov.hEvent = connected.get();
        ::ResetEvent(ov.hEvent);
        bool ok = ::ConnectNamedPipe(instance.get(), &ov) != FALSE;
        DWORD e = ok ? 0 : ::GetLastError();
        if (e == ERROR_IO_PENDING) {
            HANDLE waits[2] = {ov.hEvent, m_stop.get()};
            DWORD rc = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            DWORD n = 0;
            if (rc != WAIT_OBJECT_0) {
                ::CancelIoEx(instance.get(), &ov);
                ::GetOverlappedResult(instance.get(), &ov, &n, TRUE);
                return;
            }
            ok = ::GetOverlappedResult(instance.get(), &ov, &n, FALSE) != FALSE;
            e = ok ? 0 : ::GetLastError();
        }
        if (ok || e == ERROR_PIPE_CONNECTED) {
            // The next instance exists before this one is handed over, so a
            // client never finds the pipe name gone while the core runs.
            VrBase::unique_hfile next = CreateInstance(false);
            // A connection that cannot be set up is dropped; listening goes on.
            VrBase::GuardVoid(L"CCoreServer::Accept", [&] { Accept(std::move(instance)); });
            instance = std::move(next);
        } else if (e == ERROR_NO_DATA) {
            // The client came and went before we looked: the same instance
            // listens again, so the name never disappears.
            ::DisconnectNamedPipe(instance.get());
        } else {
            VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::ListenLoop", L"connect failed, err %u", e);
            VrBase::unique_hfile next = CreateInstance(false);
            if (next) instance = std::move(next);
            else ::DisconnectNamedPipe(instance.get());
        }
        if (::WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0) return;
    }
}

void CCoreServer::Accept(VrBase::unique_hfile pipe) {
    // Who connects is not known until the session's open says it, so a full
    // core makes room by dropping the connection that has waited longest
    // without opening anything; connections with sessions are never dropped
    // for a newcomer, and ordinary users' sessions leave room for
    // administrators' (see OnOpenSession).
    std::shared_ptr<CConnection> conn, evicted;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        size_t unopened = 0;
        std::shared_ptr<CConnection> oldest;
        const ULONGLONG now = ::GetTickCount64();
        for (auto& c : m_connections)
            if (c.second->Unopened()) {
                ++unopened;
                // Serials grow with age.
                if (!oldest && now - c.second->acceptedTick >= kEvictableAfterMs) oldest = c.second;
            }
        if (m_connections.size() >= m_params.maxConnections || unopened >= MaxUnopened()) {
            if (!oldest) {
                VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::Accept", L"%u connections open; one more refused",
                         m_params.maxConnections);
                ::DisconnectNamedPipe(pipe.get());
                return;
            }
            evicted = oldest;
        }
        conn = std::make_shared<CConnection>(*this, std::move(pipe), m_nextSerial++);
        m_connections[conn->serial] = conn;
        ++m_liveConnections;
    }
    if (evicted) {
        VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::Accept",
                 L"connection of process %u opened nothing; dropped for a newcomer", evicted->Pid());
        evicted->Close();
    }
    try {
        std::thread([conn] { conn->Run(); }).detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.erase(conn->serial);
        --m_liveConnections;
        m_cv.notify_all();
        throw;
    }
}

std::vector<CCoreServer::Pending> CCoreServer::EndSession(CConnection& conn) {
    std::vector<Pending> orphaned;
    if (conn.sessionId) {
        auto it = m_sessions.find(conn.sessionId);
        if (it != m_sessions.end() && it->second.get() == &conn) m_sessions.erase(it);
    }
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->second.receiver.lock().get() == &conn) {
            orphaned.push_back(it->second);
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    conn.sessionId = 0;
    conn.subscriptions.clear();
    conn.inbox.Clear();
    return orphaned;
}

void CCoreServer::FailRequests(const std::vector<Pending>& requests, DWORD code) {
    for (const Pending& p : requests) {
        if (auto sender = p.sender.lock()) {
            VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::FailRequests", L"message 0x%X to session %u failed: %u",
                     p.messageId, p.receiverSession, code);
            sender->Enqueue(EncodeFrame(CmdSend | kReply, p.request, code, NoReplyPayload()), 0, 0, p.privileged,
                            true);
        }
    }
}

void CCoreServer::Forget(CConnection& conn) {
    std::vector<Pending> orphaned;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        orphaned = EndSession(conn);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (it->second.sender.lock().get() == &conn) it = m_pending.erase(it);  // nobody left to answer
            else ++it;
        }
        conn.agentFor.clear();
        m_connections.erase(conn.serial);
    }
    FailRequests(orphaned, kErrReceiverGone);
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_liveConnections;
    m_cv.notify_all();
}

void CCoreServer::TimerLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        m_cv.wait_for(lock, std::chrono::milliseconds(200));
        const ULONGLONG now = ::GetTickCount64();
        std::vector<Pending> expired;
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (it->second.deadline <= now) {
                expired.push_back(it->second);
                it = m_pending.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<std::shared_ptr<CConnection>> idle;
        for (auto& c : m_connections)
            if (c.second->Unopened() && now - c.second->lastFrameTick.load() >= kUnopenedIdleMs)
                idle.push_back(c.second);
        if (expired.empty() && idle.empty()) continue;
        lock.unlock();
        for (auto& c : idle) {
            VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::TimerLoop", L"connection of process %u idle; dropped",
                     c->Pid());
            c->Close();
        }
        FailRequests(expired, kErrReceiverTimeout);
        lock.lock();
    }
}

DWORD CCoreServer::RequireAdmin(CConnection& conn, uint64_t tokenValue) {
    VrBase::unique_handle token;
    bool administrator;
    if (DWORD e = CallerToken(conn.Pipe(), conn.Client(), tokenValue, token, administrator)) return e;
    return administrator ? 0 : ERROR_ACCESS_DENIED;
}

void CCoreServer::Dispatch(CConnection& conn, Frame& f) {
    switch (f.command) {
    case CmdOpenSession: return OnOpenSession(conn, f);
    case CmdCloseSession: return OnCloseSession(conn, f);
    case CmdSubscribe: return OnSubscribe(conn, f);
    case CmdSend: return OnSend(conn, f);
    case CmdPost: return OnPost(conn, f);
    case CmdDeliverReply: return OnDeliverReply(conn, f);
    case CmdGetIds: return OnGetIds(conn, f);
    case CmdComputerInfo: return OnComputerInfo(conn, f);
    case CmdWriteEvent: return OnWriteEvent(conn, f);
    case CmdNotify: return OnNotify(conn, f);
    case CmdAgentRegister: return OnAgentRegister(conn, f);
    case CmdPolicyRead:
    case CmdPolicyList:
    case CmdPolicySet:
    case CmdPolicyDelete: return OnPolicy(conn, f);
    case CmdComputerSet: return OnComputerSet(conn, f);
    case CmdListSessions: return OnListSessions(conn, f);
    case CmdReadEvents: return OnReadEvents(conn, f);
    default: throw ProtocolError("unknown command");
    }
}

void CCoreServer::OnRefused(CConnection& conn, Frame& f) {
    if (f.command == CmdDeliverReply) {
        // The receiver answered, but its answer could not be held: the
        // sender hears that the core is busy.
        Pending p;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            conn.inbox.Answered(f.id);
            auto it = m_pending.find(f.id);
            if (it == m_pending.end() || it->second.receiver.lock().get() != &conn) return;
            p = it->second;
            m_pending.erase(it);
        }
        if (std::shared_ptr<CConnection> sender = p.sender.lock())
            sender->Enqueue(EncodeFrame(CmdSend | kReply, p.request, kErrReceiverBusy, NoReplyPayload()), 0, 0,
                            p.privileged, true);
        return;
    }
    if (f.command >= CmdDeliverSend) throw ProtocolError("unknown command");
    VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::OnRefused", L"request 0x%X of process %u not held: the core is full",
             f.command, conn.Pid());
    Answer(conn, f, kErrReceiverBusy, f.command == CmdSend ? NoReplyPayload() : std::vector<BYTE>{});
}

void CCoreServer::OnOpenSession(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const std::wstring name = r.str(kMaxNameChars);
    const DWORD flags = r.u32();
    const DWORD routines = r.u32();
    for (int i = 0; i < 6; ++i) r.u32();  // the two version blocks: kept by the client only
    const uint64_t tokenValue = r.u64();
    r.end();
    if (name.empty()) return Answer(conn, f, ERROR_INVALID_PARAMETER);
    // A service's session is what senders look up by name and trust with
    // their requests: only SYSTEM and administrators may open one, and a
    // name has one service session at a time.
    const bool service = (flags & VR_SESSION_CLIENT) == 0;
    VrBase::unique_handle token;
    bool administrator;
    const DWORD tokenError = CallerToken(conn.Pipe(), conn.Client(), tokenValue, token, administrator);
    const bool privileged = !tokenError && administrator;
    if (service) {
        DWORD e = tokenError;
        if (!e && !privileged) e = ERROR_ACCESS_DENIED;
        if (e) {
            VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::OnOpenSession",
                     L"service session \"%ls\" refused to process %u: %u", name.c_str(), conn.Pid(), e);
            return Answer(conn, f, e);
        }
    }
    DWORD id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (conn.sessionId) return Answer(conn, f, ERROR_ALREADY_EXISTS);  // one session per connection
        if (!privileged) {
            const size_t ordinary = OrdinaryHolders(conn);
            if (ordinary + AdminRoom() >= m_params.maxConnections) {
                VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::OnOpenSession",
                         L"%u sessions of ordinary users open; process %u refused", static_cast<unsigned>(ordinary),
                         conn.Pid());
                return Answer(conn, f, ERROR_NOT_ENOUGH_QUOTA);
            }
        }
        if (service)
            for (auto& s : m_sessions)
                if (!s.second->IsClientSession() && SameNoCase(s.second->name, name))
                    return Answer(conn, f, ERROR_ALREADY_EXISTS);
        do {
            id = m_nextSessionId++;
            if (m_nextSessionId == 0) m_nextSessionId = 1;
        } while (id == 0 || m_sessions.count(id));
        conn.sessionId = id;
        conn.name = name;
        conn.flags = flags;
        conn.privileged = privileged;
        conn.routines = routines & 3;
        ::GetSystemTimeAsFileTime(&conn.opened);
        m_sessions[id] = conn.shared_from_this();
    }
    VR_TRACE(VrBase::TL_INFO, L"CCoreServer::OnOpenSession", L"session %u \"%ls\" (process %u, flags 0x%X)", id,
             name.c_str(), conn.Pid(), flags);
    PayloadWriter w;
    w.u32(id).u32(m_params.replyTimeoutMs);
    Answer(conn, f, 0, w.data());
}

void CCoreServer::OnCloseSession(CConnection& conn, Frame& f) {
    PayloadReader(f.payload).end();
    std::vector<Pending> orphaned;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!conn.sessionId) return Answer(conn, f, ERROR_INVALID_HANDLE);
        orphaned = EndSession(conn);
    }
    FailRequests(orphaned, kErrReceiverGone);
    Answer(conn, f, 0);
}

void CCoreServer::OnSubscribe(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const DWORD messageId = r.u32();
    const DWORD on = r.u32();
    r.end();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!conn.sessionId) return Answer(conn, f, ERROR_INVALID_HANDLE);
    if (!on) {
        conn.subscriptions.erase(messageId);
    } else {
        if (conn.subscriptions.size() >= kMaxSubscriptions) return Answer(conn, f, ERROR_NOT_ENOUGH_QUOTA);
        conn.subscriptions.insert(messageId);
    }
    Answer(conn, f, 0);
}

void CCoreServer::OnSend(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const DWORD destination = r.u32();
    const DWORD messageId = r.u32();
    uint32_t capacity = r.u32();
    const DWORD hasBuffer = r.u32() ? 1 : 0;
    const uint64_t tokenValue = r.u64();
    uint32_t dataSize = 0;
    const BYTE* data = r.bytes(kMaxData, dataSize);
    r.end();
    // Nothing larger can come back through the core anyway.
    if (capacity > kMaxData) capacity = kMaxData;

    auto fail = [&](DWORD code) { Answer(conn, f, code, NoReplyPayload()); };
    VrBase::unique_handle token;
    bool privileged;
    if (DWORD e = CallerToken(conn.Pipe(), conn.Client(), tokenValue, token, privileged)) return fail(e);

    std::shared_ptr<CConnection> receiver;
    uint64_t delivery;
    DWORD senderSession;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        senderSession = conn.sessionId;
        if (!senderSession) return fail(ERROR_INVALID_HANDLE);
        auto it = m_sessions.find(destination);
        if (it == m_sessions.end()) return fail(kErrNoDestination);
        receiver = it->second;
        if (!(receiver->routines & 1) || !receiver->subscriptions.count(messageId)) return fail(kErrNotTaken);
        if (!receiver->inbox.MayTake(dataSize, senderSession, privileged)) return fail(kErrReceiverBusy);
        delivery = m_nextDelivery++;
        receiver->inbox.Delivered(delivery, dataSize, senderSession, privileged);
        Pending& p = m_pending[delivery];
        p.sender = conn.shared_from_this();
        p.request = f.id;
        p.receiver = receiver;
        p.receiverSession = destination;
        p.messageId = messageId;
        p.capacity = capacity;
        p.deadline = ::GetTickCount64() + m_params.replyTimeoutMs;
        p.privileged = privileged;
    }
    auto withdraw = [&](DWORD code) {
        bool mine;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            mine = m_pending.erase(delivery) > 0;
            receiver->inbox.Answered(delivery);
        }
        if (mine) fail(code);
    };
    const uint64_t remoteToken = DuplicateIntoProcess(token.get(), receiver->Process(), receiver->IsClientSession());
    if (!remoteToken) {
        VR_TRACE(VrBase::TL_ERROR, L"CCoreServer::OnSend", L"cannot hand the sender's token to process %u, err %u",
                 receiver->Pid(), ::GetLastError());
        return withdraw(ERROR_ACCESS_DENIED);
    }
    PayloadWriter w;
    w.u64(remoteToken).u32(senderSession).u32(conn.Pid()).u32(destination).u32(messageId).u32(capacity).u32(hasBuffer);
    w.bytes(data, dataSize);
    std::vector<BYTE> frame = EncodeFrame(CmdDeliverSend, delivery, 0, w.take());
    // A delivery waits in its receiver's queue: the room is for one that an
    // administrator sends to an administrator's or a service's session.
    const CConnection::Queued queued =
        receiver->Enqueue(std::move(frame), remoteToken, conn.HandOn(f), privileged && receiver->privileged);
    if (queued != CConnection::Queued::Yes) {
        CloseInProcess(receiver->Process(), remoteToken);
        withdraw(queued == CConnection::Queued::Busy ? kErrReceiverBusy : kErrReceiverGone);
    }
}

void CCoreServer::OnDeliverReply(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    DWORD result = r.u32();
    const DWORD replySize = r.u32();
    uint32_t size = 0;
    const BYTE* bytes = r.bytes(kMaxData, size);
    r.end();
    Pending p;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        conn.inbox.Answered(f.id);  // also a late answer, or a post's: the receiver is done with it
        auto it = m_pending.find(f.id);
        // Late (timed out) or not this connection's to answer: dropped.
        if (it == m_pending.end() || it->second.receiver.lock().get() != &conn) return;
        if (size > it->second.capacity) throw ProtocolError("reply larger than the sender's buffer");
        p = it->second;
        m_pending.erase(it);
    }
    // The sender grows its buffer on 122 only, whatever code the receiver
    // chose for "too small"; beyond the core's limit no buffer will do. A
    // reply that does not fit leaves the sender's buffer as it was.
    if (replySize > p.capacity) {
        result = replySize > kMaxData ? ERROR_BUFFER_OVERFLOW : ERROR_INSUFFICIENT_BUFFER;
        size = 0;
    }
    std::shared_ptr<CConnection> sender = p.sender.lock();
    if (!sender) return;
    // Judged before the copies are made: a reply the core may not hold is
    // never built. The buffer it was read into is held already, and is
    // handed on to the reply.
    if (size > kSmallFrame && m_heldBytes.load() - conn.ReadHeld() + size > Bound(p.privileged)) {
        // Its buffer goes first: while it is held, the answer "busy" may
        // find no room, and the sender would wait out its time-out.
        Release(conn.HandOn(f));
        sender->Enqueue(EncodeFrame(CmdSend | kReply, p.request, kErrReceiverBusy, NoReplyPayload()), 0, 0,
                        p.privileged, true);
        return;
    }
    PayloadWriter w;
    w.u32(1).u32(replySize).bytes(bytes, size);
    std::vector<BYTE> frame = EncodeFrame(CmdSend | kReply, p.request, result, w.take());
    if (sender->Enqueue(std::move(frame), 0, conn.HandOn(f), p.privileged) == CConnection::Queued::Busy)
        sender->Enqueue(EncodeFrame(CmdSend | kReply, p.request, kErrReceiverBusy, NoReplyPayload()), 0, 0,
                        p.privileged, true);
}

void CCoreServer::OnPost(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const DWORD destination = r.u32();
    const DWORD messageId = r.u32();
    const uint64_t tokenValue = r.u64();
    uint32_t dataSize = 0;
    const BYTE* data = r.bytes(kMaxData, dataSize);
    r.end();
    VrBase::unique_handle token;
    bool privileged;
    if (DWORD e = CallerToken(conn.Pipe(), conn.Client(), tokenValue, token, privileged)) return Answer(conn, f, e);
    struct Target {
        std::shared_ptr<CConnection> conn;
        DWORD session;
        uint64_t delivery;
    };
    std::vector<Target> targets;
    DWORD senderSession;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        senderSession = conn.sessionId;
        if (!senderSession) return Answer(conn, f, ERROR_INVALID_HANDLE);
        auto takes = [&](const CConnection& c) { return (c.routines & 2) && c.subscriptions.count(messageId); };
        auto add = [&](const std::shared_ptr<CConnection>& c, DWORD session) {
            if (!c->inbox.MayTake(dataSize, senderSession, privileged)) return false;
            const uint64_t delivery = m_nextDelivery++;
            c->inbox.Delivered(delivery, dataSize, senderSession, privileged);  // the receiver's library acknowledges posts too
            targets.push_back(Target{c, session, delivery});
            return true;
        };
        if (destination == 0) {
            for (auto& s : m_sessions)
                if (takes(*s.second) && !add(s.second, s.first))
                    VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::OnPost", L"session %u is busy; message 0x%X not posted",
                             s.first, messageId);
        } else {
            auto it = m_sessions.find(destination);
            if (it == m_sessions.end()) return Answer(conn, f, kErrNoDestination);
            if (!takes(*it->second)) return Answer(conn, f, kErrNotTaken);
            if (!add(it->second, it->first)) return Answer(conn, f, kErrReceiverBusy);
        }
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        Target& t = targets[i];
        CConnection& target = *t.conn;
        const uint64_t remoteToken = DuplicateIntoProcess(token.get(), target.Process(), target.IsClientSession());
        PayloadWriter w;
        w.u64(remoteToken).u32(senderSession).u32(conn.Pid()).u32(t.session).u32(messageId).bytes(data, dataSize);
        std::vector<BYTE> frame = EncodeFrame(CmdDeliverPost, t.delivery, 0, w.take());
        // The last copy takes over what the request's buffer held.
        const size_t handed = remoteToken && i + 1 == targets.size() ? conn.HandOn(f) : 0;
        if (!remoteToken ||
            target.Enqueue(std::move(frame), remoteToken, handed, privileged && target.privileged) !=
                CConnection::Queued::Yes) {
            CloseInProcess(target.Process(), remoteToken);
            std::lock_guard<std::mutex> lock(m_mutex);
            target.inbox.Answered(t.delivery);
        }
    }
    Answer(conn, f, 0);
}

void CCoreServer::OnGetIds(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const std::wstring name = r.str(kMaxNameChars);
    r.end();
    std::vector<DWORD> ids;
    {
        // The service's session first, then client sessions; ids grow with
        // age, so (wrap-around aside) each part is oldest first. A sender
        // that is SYSTEM or an administrator is never offered a client
        // session of an ordinary user: with the service away, such a
        // session under its name would take the sender's request.
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool callerPrivileged = !conn.sessionId || conn.privileged;
        for (bool clients : {false, true})
            for (auto& s : m_sessions)
                if (s.second->IsClientSession() == clients && SameNoCase(s.second->name, name) &&
                    (!clients || s.second->privileged || !callerPrivileged))
                    ids.push_back(s.first);
    }
    PayloadWriter w;
    w.u32(static_cast<uint32_t>(ids.size()));
    for (DWORD id : ids) w.u32(id);
    Answer(conn, f, 0, w.data());
}

void CCoreServer::OnComputerInfo(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const DWORD infoClass = r.u32();
    r.end();
    if (infoClass != 1) return Answer(conn, f, ERROR_INVALID_LEVEL);
    std::vector<BYTE> record;
    DWORD e = VrBase::GuardCode(L"CCoreServer::OnComputerInfo", [&] {
        record = ComputerRecord();
        return 0;
    });
    if (e) return Answer(conn, f, e);
    PayloadWriter w;
    w.bytes(record.data(), record.size());
    Answer(conn, f, 0, w.data());
}

void CCoreServer::OnWriteEvent(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    JournalRecord rec;
    rec.source = r.str(kMaxNameChars);
    rec.categoryName = r.str(kMaxNameChars);
    rec.type = r.u16();
    rec.category = r.u16();
    rec.eventId = r.u32();
    uint32_t sidSize = 0;
    const BYTE* sid = r.bytes(SECURITY_MAX_SID_SIZE, sidSize);
    const uint32_t count = r.u32();
    if (count > kMaxEventStrings) throw ProtocolError("too many event strings");
    uint64_t textBytes = 0;
    for (uint32_t i = 0; i < count; ++i) {
        rec.strings.push_back(r.str(kMaxTextChars));
        for (wchar_t c : rec.strings.back()) textBytes += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;  // as UTF-8
    }
    uint32_t dataSize = 0;
    const BYTE* data = r.bytes(kMaxEventData, dataSize);
    const uint64_t tokenValue = r.u64();
    r.end();
    if (rec.source.empty()) return Answer(conn, f, ERROR_INVALID_PARAMETER);
    if (sidSize && (!::IsValidSid(const_cast<BYTE*>(sid)) || ::GetLengthSid(const_cast<BYTE*>(sid)) != sidSize))
        return Answer(conn, f, ERROR_INVALID_SID);
    VrBase::unique_handle token;
    // SYSTEM and administrators write in any name (a service records the
    // user it acted for); anybody else only as themselves: their own SID,
    // and their source marked as theirs, so no source of a service can be
    // borrowed. Their records go to a file of their own, within a quota.
    bool privileged;
    if (DWORD e = CallerToken(conn.Pipe(), conn.Client(), tokenValue, token, privileged)) return Answer(conn, f, e);
    if (privileged) {
        rec.sid = SidText(sid, sidSize);
    } else {
        rec.sid = VrBase::Trust::UserSidText(token.get());
        if (rec.sid.empty()) return Answer(conn, f, ERROR_ACCESS_DENIED);
        rec.source = kOrdinarySourcePrefix + rec.source;
        const uint64_t bytes = textBytes + 2ull * dataSize + rec.source.size() + rec.categoryName.size() + 128;
        if (!m_writerQuota.Charge(WriterKey(token.get(), rec.sid), bytes, ::GetTickCount64())) {
            VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::OnWriteEvent",
                     L"process %u (%ls) is over its journal quota; record refused", conn.Pid(), rec.sid.c_str());
            return Answer(conn, f, ERROR_NOT_ENOUGH_QUOTA);
        }
    }
    static const char hex[] = "0123456789ABCDEF";
    for (uint32_t i = 0; i < dataSize; ++i) {
        rec.dataHex += hex[data[i] >> 4];
        rec.dataHex += hex[data[i] & 15];
    }
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    rec.time = UtcTimeText(now);
    rec.processId = conn.Pid();
    uint64_t seq = 0;
    DWORD e = VrBase::GuardCode(L"CCoreServer::OnWriteEvent", [&] {
        seq = m_journal.Append(rec, privileged);
        return 0;
    });
    PayloadWriter w;
    w.u64(seq);
    Answer(conn, f, e, w.data());
}

void CCoreServer::OnNotify(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const std::wstring component = r.str(kMaxNameChars);
    const DWORD kind = r.u32();
    const std::wstring setName = r.str(kMaxNameChars);
    r.end();
    if (component.empty() || (kind != 1 && kind != 2)) return Answer(conn, f, ERROR_INVALID_PARAMETER);
    std::vector<std::shared_ptr<CConnection>> agents;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& c : m_connections)
            if (c.second->agentFor.count(component) || c.second->agentFor.count(L"*")) agents.push_back(c.second);
    }
    PayloadWriter n;
    n.str(component).u32(kind).str(setName);
    uint32_t reached = 0;
    for (auto& a : agents)
        if (a->Enqueue(EncodeFrame(CmdAgentNotify, 0, 0, n.data())) == CConnection::Queued::Yes) ++reached;
    VR_TRACE(VrBase::TL_INFO, L"CCoreServer::OnNotify", L"%ls %ls \"%ls\" to %u agents", component.c_str(),
             kind == 1 ? L"state" : L"configuration", setName.c_str(), reached);
    PayloadWriter w;
    w.u32(reached);
    Answer(conn, f, 0, w.data());
}

void CCoreServer::OnAgentRegister(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const std::wstring component = r.str(kMaxNameChars);
    r.end();
    if (component.empty()) return Answer(conn, f, ERROR_INVALID_PARAMETER);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (conn.agentFor.size() >= kMaxSubscriptions) return Answer(conn, f, ERROR_NOT_ENOUGH_QUOTA);
        // A registration says nothing of who registers: an agent without an
        // administrator's session stays out of the room kept for those.
        if (conn.Unopened() && OrdinaryHolders(conn) + AdminRoom() >= m_params.maxConnections) {
            VR_TRACE(VrBase::TL_WARNING, L"CCoreServer::OnAgentRegister", L"no room for the agent of process %u",
                     conn.Pid());
            return Answer(conn, f, ERROR_NOT_ENOUGH_QUOTA);
        }
        conn.agentFor.insert(component);
    }
    Answer(conn, f, 0);
}

void CCoreServer::OnPolicy(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    PayloadWriter w;
    DWORD e = 0;
    if (f.command == CmdPolicyList) {
        r.end();
        e = VrBase::GuardCode(L"CCoreServer::OnPolicy", [&] {
            std::vector<std::wstring> names = PolicySections();
            w.u32(static_cast<uint32_t>(names.size()));
            for (auto& n : names) w.str(n);
            return 0;
        });
        return Answer(conn, f, e, w.data());
    }
    const std::wstring section = r.str(kMaxNameChars);
    if (f.command == CmdPolicyRead) {
        r.end();
        if (section.empty()) return Answer(conn, f, ERROR_INVALID_PARAMETER);
        e = VrBase::GuardCode(L"CCoreServer::OnPolicy", [&]() -> DWORD {
            std::wstring text = ReadPolicySection(section);
            if (text.size() > kMaxPolicyChars) return ERROR_BUFFER_OVERFLOW;
            w.str(text);
            return 0;
        });
        return Answer(conn, f, e, w.data());
    }
    std::wstring text;
    if (f.command == CmdPolicySet) text = r.str(kMaxPolicyChars);
    const uint64_t tokenValue = r.u64();
    r.end();
    if (section.empty()) return Answer(conn, f, ERROR_INVALID_PARAMETER);
    if ((e = RequireAdmin(conn, tokenValue))) return Answer(conn, f, e);
    e = VrBase::GuardCode(L"CCoreServer::OnPolicy", [&]() -> DWORD {
        if (f.command == CmdPolicyDelete) return DeletePolicySection(section);
        WritePolicySection(section, text);
        return 0;
    });
    VR_TRACE(VrBase::TL_INFO, L"CCoreServer::OnPolicy", L"section \"%ls\" %ls by process %u: %u", section.c_str(),
             f.command == CmdPolicySet ? L"set" : L"removed", conn.Pid(), e);
    Answer(conn, f, e);
}

void CCoreServer::OnComputerSet(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const std::wstring field = CanonicalComputerField(r.str(kMaxNameChars));
    const std::wstring value = r.str(kMaxTextChars);
    const uint64_t tokenValue = r.u64();
    r.end();
    if (field.empty() || value.size() >= VR_COMPUTER_FIELD_CHARS) return Answer(conn, f, ERROR_INVALID_PARAMETER);
    if (DWORD e = RequireAdmin(conn, tokenValue)) return Answer(conn, f, e);
    DWORD e = VrBase::GuardCode(L"CCoreServer::OnComputerSet", [&] {
        WriteComputerField(field, value);
        return 0;
    });
    Answer(conn, f, e);
}

void CCoreServer::OnListSessions(CConnection& conn, Frame& f) {
    PayloadReader(f.payload).end();
    PayloadWriter w;
    std::lock_guard<std::mutex> lock(m_mutex);
    w.u32(static_cast<uint32_t>(m_sessions.size()));
    for (auto& s : m_sessions) {
        const CConnection& c = *s.second;
        uint32_t waiting = 0;
        for (auto& p : m_pending)
            if (p.second.receiverSession == s.first) ++waiting;
        w.u32(s.first).str(c.name).u32(c.Pid()).u32(c.flags).u32(c.routines);
        w.u64((static_cast<uint64_t>(c.opened.dwHighDateTime) << 32) | c.opened.dwLowDateTime);
        w.u32(waiting).u32(static_cast<uint32_t>(c.subscriptions.size()));
        for (DWORD id : c.subscriptions) w.u32(id);
    }
    uint32_t agents = 0;
    for (auto& c : m_connections)
        if (!c.second->agentFor.empty()) ++agents;
    w.u32(agents);
    for (auto& c : m_connections) {
        if (c.second->agentFor.empty()) continue;
        w.u32(c.second->Pid()).u32(static_cast<uint32_t>(c.second->agentFor.size()));
        for (auto& name : c.second->agentFor) w.str(name);
    }
    Answer(conn, f, 0, w.data());
}

void CCoreServer::OnReadEvents(CConnection& conn, Frame& f) {
    PayloadReader r(f.payload);
    const uint64_t since = r.u64();
    const uint64_t tokenValue = r.u64();
    r.end();
    if (DWORD e = RequireAdmin(conn, tokenValue)) return Answer(conn, f, e);
    PayloadWriter w;
    DWORD e = VrBase::GuardCode(L"CCoreServer::OnReadEvents", [&] {
        bool more = false;
        std::string lines = m_journal.Read(since, kEventReadChunk, more);
        w.u64(m_journal.LastSeq()).u32(more ? 1 : 0).bytes(lines.data(), lines.size());
        return 0;
    });
    Answer(conn, f, e, w.data());
}

} // namespace vrcc
