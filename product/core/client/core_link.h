#pragma once
// A lasting connection to the core: requests from any thread, each waiting
// for its own answer, and the core's unasked frames (deliveries,
// notifications) run one after another on the link's callback thread.
#include "client_support.h"
#include "pipe_channel.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace vrcc {

class CCoreLink : public std::enable_shared_from_this<CCoreLink> {
public:
    using FrameHandler = std::function<void(CCoreLink&, Frame&)>;
    using LostHandler = std::function<void()>;

    // Connects and starts the threads. onFrame runs on the callback thread
    // for every unasked frame; onLost runs there once if the core goes away
    // (not after Shutdown). 0, or the connect error mapped as for CoreCall.
    static DWORD Connect(FrameHandler onFrame, LostHandler onLost, std::shared_ptr<CCoreLink>& link);

    ~CCoreLink();
    CCoreLink(const CCoreLink&) = delete;
    CCoreLink& operator=(const CCoreLink&) = delete;

    // A request and its answer: the answer's status, or 1722 once the link
    // is down, 1726 when it breaks during the call, ERROR_TIMEOUT.
    DWORD Call(uint16_t command, const std::vector<BYTE>& payload, Frame& answer, DWORD timeoutMs);
    // A frame that is not answered.
    DWORD Post(uint16_t command, uint64_t id, uint32_t status, const std::vector<BYTE>& payload);

    // Ends the link. Waits (at most waitMs) for a callback in progress,
    // unless called from the callback itself.
    void Shutdown(DWORD waitMs);
    bool IsDown() const;
    bool OnCallbackThread() const { return ::GetCurrentThreadId() == m_callbackThreadId; }

    // Notifications held while the callback is busy; later ones are dropped.
    static constexpr size_t kMaxQueuedNotifications = 256;

private:
    struct Waiter {
        bool done = false;
        DWORD error = 0;
        Frame answer;
    };

    explicit CCoreLink(VrBase::unique_hfile pipe);
    void ReaderLoop();
    void CallbackLoop();
    void MarkDown();
    void Release(Frame& f);
    DWORD WriteFrame(const std::vector<BYTE>& bytes);

    CPipeChannel m_channel;
    VrBase::unique_handle m_stop;
    FrameHandler m_onFrame;
    LostHandler m_onLost;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_down = false;
    bool m_shutdown = false;
    uint64_t m_nextId = 1;
    std::map<uint64_t, Waiter*> m_waiters;
    std::deque<Frame> m_inbox;
    bool m_dropping = false;
    bool m_lostPending = false;
    bool m_callbackDone = false;

    std::mutex m_writeMutex;
    VrBase::unique_handle m_reader, m_callback;
    std::atomic<DWORD> m_callbackThreadId{0};
};

} // namespace vrcc
