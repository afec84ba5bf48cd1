#include "core_link.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

namespace vrcc {
namespace {
constexpr DWORD kWriteTimeoutMs = 60000;
}

CCoreLink::CCoreLink(VrBase::unique_hfile pipe)
    : m_channel(std::move(pipe)), m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!m_stop) VR_RAISE_LAST_ERROR(L"CCoreLink::CCoreLink");
}

CCoreLink::~CCoreLink() = default;

DWORD CCoreLink::Connect(FrameHandler onFrame, LostHandler onLost, std::shared_ptr<CCoreLink>& link) {
    VrBase::unique_hfile pipe;
    DWORD e = ConnectToCore(pipe);
    if (e) return MeansCoreDown(e) ? kErrCoreDown : e;
    std::shared_ptr<CCoreLink> l(new CCoreLink(std::move(pipe)));
    l->m_onFrame = std::move(onFrame);
    l->m_onLost = std::move(onLost);
    // The threads own a reference each, so the link outlives them whoever
    // lets go of it last.
    l->m_reader = StartModuleThread(L"CCoreLink::ReaderLoop", [l] { l->ReaderLoop(); });
    try {
        l->m_callback = StartModuleThread(L"CCoreLink::CallbackLoop", [l] { l->CallbackLoop(); });
        l->m_callbackThreadId = ::GetThreadId(l->m_callback.get());
    } catch (...) {
        l->Shutdown(INFINITE);
        throw;
    }
    link = std::move(l);
    return 0;
}

bool CCoreLink::IsDown() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_down;
}

void CCoreLink::MarkDown() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_down) return;
    m_down = true;
    for (auto& w : m_waiters) {
        w.second->done = true;
        w.second->error = kErrLinkLost;
    }
    if (!m_shutdown) m_lostPending = true;
    m_cv.notify_all();
}

void CCoreLink::ReaderLoop() {
    for (;;) {
        Frame f;
        DWORD e = 0;
        IoResult r;
        try {
            r = m_channel.Read(f, m_stop.get(), INFINITE, e);
        } catch (const ProtocolError& p) {
            VR_TRACE(VrBase::TL_ERROR, L"CCoreLink::ReaderLoop", L"bad frame from the core: %hs", p.what());
            break;
        }
        if (r != IoResult::Ok) {
            if (r == IoResult::Failed)
                VR_TRACE(VrBase::TL_WARNING, L"CCoreLink::ReaderLoop", L"read failed, err %u", e);
            break;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (f.command & kReply) {
                auto it = m_waiters.find(f.id);
                if (it != m_waiters.end()) {  // else an answer nobody waits for any more
                    it->second->answer = std::move(f);
                    it->second->done = true;
                    m_waiters.erase(it);
                    m_cv.notify_all();
                }
                continue;
            }
            if (!m_callbackDone) {
                // Notifications only tell an agent to ask again, and anybody
                // may send them: while the agent is busy, those beyond a
                // bound are dropped rather than held. Deliveries are bounded
                // by the core.
                if (f.command == CmdAgentNotify && m_inbox.size() >= kMaxQueuedNotifications) {
                    if (!m_dropping)
                        VR_TRACE(VrBase::TL_WARNING, L"CCoreLink::ReaderLoop",
                                 L"notifications dropped: %u wait for a busy routine",
                                 static_cast<unsigned>(m_inbox.size()));
                    m_dropping = true;
                    continue;
                }
                m_dropping = false;
                f.payload.shrink_to_fit();  // read into a buffer of the largest frame
                m_inbox.push_back(std::move(f));
                m_cv.notify_all();
                continue;
            }
        }
        Release(f);  // nobody will run it any more
    }
    MarkDown();
}

void CCoreLink::CallbackLoop() {
    m_callbackThreadId = ::GetCurrentThreadId();
    for (;;) {
        Frame f;
        bool lost = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [&] { return m_shutdown || !m_inbox.empty() || m_lostPending; });
            if (m_shutdown) break;
            if (!m_inbox.empty()) {
                f = std::move(m_inbox.front());
                m_inbox.pop_front();
            } else {
                lost = true;
                m_lostPending = false;
            }
        }
        if (lost) {
            if (m_onLost) m_onLost();
            break;
        }
        m_onFrame(*this, f);
    }
    // Frames never handed over may carry handles the handler would close;
    // frames that come later are released by the reader.
    std::deque<Frame> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_callbackDone = true;
        left.swap(m_inbox);
    }
    for (Frame& f : left) Release(f);
}

void CCoreLink::Release(Frame& f) {
    f.status = ERROR_CANCELLED;  // tells the handler to release, not run
    m_onFrame(*this, f);
}

DWORD CCoreLink::WriteFrame(const std::vector<BYTE>& bytes) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    DWORD e = 0;
    IoResult r = m_channel.Write(bytes, m_stop.get(), kWriteTimeoutMs, e);
    if (r == IoResult::Ok) return 0;
    // A half-written frame leaves the stream unusable.
    m_channel.CancelAll();
    MarkDown();
    return kErrLinkLost;
}

DWORD CCoreLink::Call(uint16_t command, const std::vector<BYTE>& payload, Frame& answer, DWORD timeoutMs) {
    Waiter w;
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_down) return kErrCoreDown;
        id = m_nextId++;
        m_waiters[id] = &w;
    }
    DWORD e = WriteFrame(EncodeFrame(command, id, 0, payload));
    std::unique_lock<std::mutex> lock(m_mutex);
    if (e == 0) {
        auto ready = [&] { return w.done; };
        if (timeoutMs == INFINITE) m_cv.wait(lock, ready);
        else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) e = ERROR_TIMEOUT;
    }
    m_waiters.erase(id);
    if (e) return e;
    if (w.error) return w.error;
    if (w.answer.command != (command | kReply)) return kErrLinkLost;
    answer = std::move(w.answer);
    return answer.status;
}

DWORD CCoreLink::Post(uint16_t command, uint64_t id, uint32_t status, const std::vector<BYTE>& payload) {
    if (IsDown()) return kErrCoreDown;
    return WriteFrame(EncodeFrame(command, id, status, payload));
}

void CCoreLink::Shutdown(DWORD waitMs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_shutdown) return;
        m_shutdown = true;
        m_lostPending = false;
        m_cv.notify_all();
    }
    ::SetEvent(m_stop.get());
    m_channel.CancelAll();
    if (m_reader) ::WaitForSingleObject(m_reader.get(), waitMs);
    if (m_callback && !OnCallbackThread()) ::WaitForSingleObject(m_callback.get(), waitMs);
}

} // namespace vrcc
