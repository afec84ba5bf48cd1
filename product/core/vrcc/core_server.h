#pragma once
// The core: one listener on the core's pipe, one reader and one writer
// thread per connection, a timer for receivers that do not answer. Each
// connection carries at most one session; requests for a session are sent
// to its connection as deliveries and their answers routed back.
#include "core_journal.h"
#include "core_store.h"
#include "pipe_channel.h"
#include "writer_quota.h"
#include "vrbase/scope.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vrcc {

struct Frame;
class CConnection;

// The frames waiting to be written and the buffers of frames being read
// are held against one bound for all connections together.
class CCoreServer {
public:
    // What the core holds for all connections together in frames waiting
    // to be written and in frames being read. Small frames (answers, codes)
    // have a little room beyond it, so a full core can still say it is busy.
    static constexpr size_t kMaxHeldBytes = 96u * 1024 * 1024;
    static constexpr size_t kSmallFrame = 64 * 1024;
    static constexpr size_t kSmallFrameRoom = 8u * 1024 * 1024;
    // Beyond it, room for one largest frame of SYSTEM or an administrator
    // (their requests, and replies and deliveries made for them): ordinary
    // callers who fill the bound never make theirs busy. It lies beyond the
    // small frames' room too, as ordinary callers may fill that as well.
    static constexpr size_t kPrivilegedRoom = kMaxPayload + sizeof(FrameHeader);
    static constexpr size_t Bound(bool privileged) {
        return kMaxHeldBytes + (privileged ? kSmallFrameRoom + kPrivilegedRoom : 0);
    }

    explicit CCoreServer(CoreParameters parameters);
    ~CCoreServer();
    CCoreServer(const CCoreServer&) = delete;
    CCoreServer& operator=(const CCoreServer&) = delete;

    // Opens the journal and the pipe; ERROR_SERVICE_ALREADY_RUNNING when
    // another core holds the pipe. Raises CVrError.
    void Start();
    // Closes every connection and waits for their threads.
    void Stop();

private:
    friend class CConnection;
    struct Pending {
        std::weak_ptr<CConnection> sender;
        uint64_t request = 0;
        std::weak_ptr<CConnection> receiver;
        DWORD receiverSession = 0;
        DWORD messageId = 0;
        uint32_t capacity = 0;
        ULONGLONG deadline = 0;
        bool privileged = false;  // the sender's token is SYSTEM's or an administrator's
    };

    VrBase::unique_hfile CreateInstance(bool first);
    void ListenLoop();
    void TimerLoop();
    void Accept(VrBase::unique_hfile pipe);
    void Dispatch(CConnection& conn, Frame& frame);
    void Forget(CConnection& conn);
    // Under m_mutex: ends the connection's session; the requests waiting on
    // it are returned for failing.
    std::vector<Pending> EndSession(CConnection& conn);
    void FailRequests(const std::vector<Pending>& requests, DWORD code);
    DWORD RequireAdmin(CConnection& conn, uint64_t tokenValue);
    // The bytes of all frames waiting to be written: false when these would
    // go past the bound. handed: bytes of it held already, handed on from the
    // frame read that it was built from; given back too when refused.
    // privileged: the frame is made for SYSTEM or an administrator.
    bool Hold(size_t bytes, size_t handed = 0, bool privileged = false);
    bool HoldWithin(size_t bytes, size_t limit);
    // A frame being read: never beyond the bound, so that small answers
    // ("busy" among them) still have their room.
    bool TakeFor(size_t bytes, bool privileged) { return HoldWithin(bytes, Bound(privileged)); }
    // Connections without a session or an agent, at most; sessions kept
    // for SYSTEM and administrators out of MaxConnections.
    size_t MaxUnopened() const;
    size_t AdminRoom() const;
    // Connections that hold a slot without an administrator's session: the
    // sessions of ordinary users and agents (whose registration carries no
    // identity), besides the one given. Called with m_mutex held.
    size_t OrdinaryHolders(const CConnection& besides) const;
    void Release(size_t bytes);
    // Whether the request a delivery carried came from SYSTEM or an administrator.
    bool ForPrivileged(uint64_t delivery);

    // A request read to its end whose payload the core could not hold.
    void OnRefused(CConnection& conn, Frame& f);
    void OnOpenSession(CConnection& conn, Frame& f);
    void OnCloseSession(CConnection& conn, Frame& f);
    void OnSubscribe(CConnection& conn, Frame& f);
    void OnSend(CConnection& conn, Frame& f);
    void OnPost(CConnection& conn, Frame& f);
    void OnDeliverReply(CConnection& conn, Frame& f);
    void OnGetIds(CConnection& conn, Frame& f);
    void OnComputerInfo(CConnection& conn, Frame& f);
    void OnWriteEvent(CConnection& conn, Frame& f);
    void OnNotify(CConnection& conn, Frame& f);
    void OnAgentRegister(CConnection& conn, Frame& f);
    void OnPolicy(CConnection& conn, Frame& f);
    void OnComputerSet(CConnection& conn, Frame& f);
    void OnListSessions(CConnection& conn, Frame& f);
    void OnReadEvents(CConnection& conn, Frame& f);

    CoreParameters m_params;
    CEventJournal m_journal;
    CWriterQuota m_writerQuota;
    VrBase::unique_handle m_instanceMutex;
    VrBase::unique_hlocal m_pipeSecurity;
    VrBase::unique_hfile m_firstInstance;
    VrBase::unique_handle m_stop;
    std::thread m_listener, m_timer;

    std::atomic<size_t> m_heldBytes{0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stopping = false;
    bool m_started = false;
    size_t m_liveConnections = 0;
    uint64_t m_nextSerial = 1;
    std::map<uint64_t, std::shared_ptr<CConnection>> m_connections;
    DWORD m_nextSessionId = 1;
    std::map<DWORD, std::shared_ptr<CConnection>> m_sessions;
    uint64_t m_nextDelivery = 1;
    std::map<uint64_t, Pending> m_pending;
};

} // namespace vrcc
