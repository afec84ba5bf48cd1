// VrSrvApi.dll: sessions on the core service. Each session is one lasting
// connection; the core's deliveries run on the connection's callback thread
// under the sender's token, which the core duplicated into this process.
#include "vrsrvapi.h"

#include "core_link.h"
#include "handle_table.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

VR_DEFINE_MODULE_TRACE(L"VrSrvApi")

using namespace vrcc;

namespace {

constexpr DWORD kCallTimeoutMs = 60000;
constexpr DWORD kSendSlackMs = 30000;  // beyond the core's own reply time-out
constexpr DWORD kCloseWaitMs = 10000;  // for a routine still running at close

struct Session {
    PVR_SEND_ROUTINE send = nullptr;
    PVR_POST_ROUTINE post = nullptr;
    void* context = nullptr;
    DWORD sessionId = 0;
    DWORD replyTimeoutMs = 0;
    std::shared_ptr<CCoreLink> link;
};

// Never destroyed: at process exit the session threads are already gone.
CHandleTable<Session>& Sessions() {
    static auto* table = new CHandleTable<Session>(0x10000);
    return *table;
}

class CBufferSet {
public:
    void* Allocate(size_t size) {
        void* p = ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size);
        if (!p) return nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buffers.insert(p);
        return p;
    }
    void Free(void* p) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_buffers.erase(p)) return;  // not ours, or freed already
        }
        ::HeapFree(::GetProcessHeap(), 0, p);
    }

private:
    std::mutex m_mutex;
    std::set<void*> m_buffers;
};

CBufferSet& Buffers() {
    static CBufferSet* set = new CBufferSet;
    return *set;
}

// Runs one delivered message on the callback thread and answers it.
void OnDelivery(const std::weak_ptr<Session>& weak, CCoreLink& link, Frame& f) {
    // Only deliveries carry a handle: other frames' bytes are no handle of ours.
    if (f.command != CmdDeliverSend && f.command != CmdDeliverPost) return;
    try {
        PayloadReader r(f.payload);
        VrBase::unique_handle token(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(r.u64())));
        const bool isSend = f.command == CmdDeliverSend;
        CoreMessageHeader h{};
        h.size = sizeof h;
        h.kind = isSend ? kDeliverySend : kDeliveryPost;
        h.deliveryId = f.id;
        h.senderSessionId = r.u32();
        h.senderProcessId = r.u32();
        h.receiverSessionId = r.u32();
        const DWORD messageId = r.u32();
        DWORD capacity = 0, hasBuffer = 0;
        if (isSend) {
            capacity = r.u32();
            hasBuffer = r.u32();
        }
        uint32_t dataSize = 0;
        const BYTE* data = r.bytes(kMaxData, dataSize);
        r.end();
        h.replyCapacity = capacity;

        std::shared_ptr<Session> s = weak.lock();
        // Released, not run: the link is closing or gone, and the sender
        // has had its answer from the core.
        if (f.status == ERROR_CANCELLED || !s || link.IsDown()) return;
        if (capacity > kMaxData) throw ProtocolError("reply capacity over the limit");

        std::vector<BYTE> block(offsetof(VRM_MESSAGE, Data) + dataSize);
        auto* msg = reinterpret_cast<VRM_MESSAGE*>(block.data());
        std::memcpy(msg->CoreHeader, &h, sizeof h);
        msg->MessageId = messageId;
        msg->DataSize = dataSize;
        if (dataSize) std::memcpy(msg->Data, data, dataSize);

        // The sender's capacity, in pages that cost only once the routine
        // writes them: a large buffer asked for a small answer stays cheap.
        VrBase::unique_virtual_mem replyPages(
            isSend ? ::VirtualAlloc(nullptr, capacity ? capacity : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                   : nullptr);
        BYTE* const reply = static_cast<BYTE*>(replyPages.get());
        DWORD replySize = capacity;
        DWORD result;
        if (isSend && !reply) {
            result = ERROR_NOT_ENOUGH_MEMORY;
            replySize = 0;
        } else if (!token) {
            // Without the sender's token the routine would run as this
            // process: only a core that is not ours sends such a delivery.
            result = ERROR_ACCESS_DENIED;
            VR_TRACE(VrBase::TL_ERROR, L"OnDelivery", L"a delivery without the sender's token is not run");
        } else if (!::SetThreadToken(nullptr, token.get())) {
            // Never run a routine under our own identity.
            result = ::GetLastError();
            VR_TRACE(VrBase::TL_ERROR, L"OnDelivery", L"cannot take the sender's token, err %u", result);
        } else {
            VrBase::scope_exit revert([] {
                if (!::RevertToSelf())
                    VR_TRACE(VrBase::TL_ERROR, L"OnDelivery", L"RevertToSelf failed, err %u", ::GetLastError());
            });
            result = VrBase::GuardCode(L"OnDelivery", [&]() -> DWORD {
                if (isSend) {
                    if (!s->send) return kErrNotTaken;
                    return s->send(s->context, msg, &replySize, hasBuffer ? reply : nullptr);
                }
                if (s->post) s->post(s->context, msg);
                return 0;
            });
        }
        // A post is acknowledged too, so the core knows this receiver is
        // free for the next delivery.
        PayloadWriter w;
        // A failed request carries no reply: only its size, which may say
        // what is needed.
        if (isSend) w.u32(result).u32(replySize).bytes(reply, result == 0 && replySize <= capacity ? replySize : 0);
        else w.u32(0).u32(0).bytes(nullptr, 0);
        link.Post(CmdDeliverReply, f.id, 0, w.data());
    } catch (const ProtocolError& p) {
        VR_TRACE(VrBase::TL_ERROR, L"OnDelivery", L"bad delivery from the core: %hs", p.what());
    }
}

DWORD OpenSession(VR_SESSION* s) {
    if (!s || !s->Name || !s->Name[0]) return ERROR_INVALID_PARAMETER;
    const size_t nameLength = wcsnlen(s->Name, kMaxNameChars + 1);
    if (nameLength > kMaxNameChars) return ERROR_INVALID_PARAMETER;

    auto session = std::make_shared<Session>();
    session->send = s->SendRoutine;
    session->post = s->PostRoutine;
    session->context = s->Context;
    std::weak_ptr<Session> weak = session;
    std::shared_ptr<CCoreLink> link;
    DWORD e = CCoreLink::Connect([weak](CCoreLink& l, Frame& f) { OnDelivery(weak, l, f); }, nullptr, link);
    if (e) return e;
    VrBase::scope_exit dropLink([&] { link->Shutdown(kCloseWaitMs); });

    VrBase::unique_handle token;  // a service's session is judged by who opens it
    if (DWORD te = OpenEffectiveToken(token)) return te;
    PayloadWriter w;
    w.str(std::wstring(s->Name, nameLength))
        .u32(s->Flags)
        .u32((s->SendRoutine ? 1u : 0u) | (s->PostRoutine ? 2u : 0u))
        .raw(&s->Version, sizeof s->Version)
        .raw(&s->Version2, sizeof s->Version2)
        .u64(reinterpret_cast<uintptr_t>(token.get()));
    Frame answer;
    e = link->Call(CmdOpenSession, w.data(), answer, kCallTimeoutMs);
    if (e) return e;
    PayloadReader r(answer.payload);
    session->sessionId = r.u32();
    session->replyTimeoutMs = r.u32();
    session->link = link;
    s->Handle = Sessions().Add(session);
    dropLink.dismiss();
    s->SessionId = session->sessionId;
    VR_TRACE(VrBase::TL_INFO, L"VrOpenSession", L"session %u \"%ls\"", session->sessionId, s->Name);
    return 0;
}

} // namespace

extern "C" {

DWORD WINAPI VrOpenSession(VR_SESSION* Session) {
    return VrBase::GuardCode(L"VrOpenSession", [&] { return OpenSession(Session); });
}

DWORD WINAPI VrCloseSession(HANDLE Handle) {
    return VrBase::GuardCode(L"VrCloseSession", [&]() -> DWORD {
        std::shared_ptr<Session> s = Sessions().Remove(Handle);
        if (!s) return ERROR_INVALID_HANDLE;
        Frame answer;
        DWORD e = s->link->Call(CmdCloseSession, {}, answer, kCallTimeoutMs);
        if (e) VR_TRACE(VrBase::TL_WARNING, L"VrCloseSession", L"the core did not confirm, err %u", e);
        s->link->Shutdown(kCloseWaitMs);
        return 0;
    });
}

DWORD WINAPI VrSubscribeMessage(HANDLE Handle, DWORD MessageId, BOOL Subscribe) {
    return VrBase::GuardCode(L"VrSubscribeMessage", [&]() -> DWORD {
        std::shared_ptr<Session> s = Sessions().Find(Handle);
        if (!s) return ERROR_INVALID_HANDLE;
        PayloadWriter w;
        w.u32(MessageId).u32(Subscribe ? 1 : 0);
        Frame answer;
        return s->link->Call(CmdSubscribe, w.data(), answer, kCallTimeoutMs);
    });
}

DWORD WINAPI VrSendMessage(HANDLE Handle, DWORD Destination, DWORD MessageId, DWORD DataSize, const void* Data,
                           DWORD* ReplySize, void* ReplyBuffer) {
    return VrBase::GuardCode(L"VrSendMessage", [&]() -> DWORD {
        std::shared_ptr<Session> s = Sessions().Find(Handle);
        if (!s) return ERROR_INVALID_HANDLE;
        if ((DataSize && !Data) || DataSize > kMaxData) return ERROR_INVALID_PARAMETER;
        const DWORD capacity = ReplySize ? *ReplySize : 0;
        if (capacity && !ReplyBuffer) return ERROR_INVALID_PARAMETER;
        VrBase::unique_handle token;
        if (DWORD e = OpenEffectiveToken(token)) return e;
        PayloadWriter w;
        w.u32(Destination)
            .u32(MessageId)
            .u32(capacity)
            .u32(ReplyBuffer ? 1 : 0)
            .u64(reinterpret_cast<uintptr_t>(token.get()))
            .bytes(Data, DataSize);
        Frame answer;
        DWORD e = s->link->Call(CmdSend, w.data(), answer, s->replyTimeoutMs + kSendSlackMs);
        if (answer.command == (CmdSend | kReply) && !answer.payload.empty()) {
            PayloadReader r(answer.payload);
            if (r.u32()) {  // the receiver answered
                const DWORD size = r.u32();
                uint32_t n = 0;
                const BYTE* bytes = r.bytes(capacity, n);
                if (n) std::memcpy(ReplyBuffer, bytes, n);
                if (ReplySize) *ReplySize = size;
            }
        }
        return e;
    });
}

DWORD WINAPI VrPostMessage(HANDLE Handle, DWORD Destination, DWORD MessageId, DWORD DataSize, const void* Data) {
    return VrBase::GuardCode(L"VrPostMessage", [&]() -> DWORD {
        std::shared_ptr<Session> s = Sessions().Find(Handle);
        if (!s) return ERROR_INVALID_HANDLE;
        if ((DataSize && !Data) || DataSize > kMaxData) return ERROR_INVALID_PARAMETER;
        VrBase::unique_handle token;
        if (DWORD e = OpenEffectiveToken(token)) return e;
        PayloadWriter w;
        w.u32(Destination).u32(MessageId).u64(reinterpret_cast<uintptr_t>(token.get())).bytes(Data, DataSize);
        Frame answer;
        return s->link->Call(CmdPost, w.data(), answer, kCallTimeoutMs);
    });
}

DWORD WINAPI VrGetSubsystemIds(HANDLE Handle, const WCHAR* Name, DWORD* Count, DWORD* Ids) {
    return VrBase::GuardCode(L"VrGetSubsystemIds", [&]() -> DWORD {
        std::shared_ptr<Session> s = Sessions().Find(Handle);
        if (!s) return ERROR_INVALID_HANDLE;
        if (!Name || !Count || (*Count && !Ids)) return ERROR_INVALID_PARAMETER;
        if (wcsnlen(Name, kMaxNameChars + 1) > kMaxNameChars) return ERROR_INVALID_PARAMETER;
        PayloadWriter w;
        w.str(Name);
        Frame answer;
        if (DWORD e = s->link->Call(CmdGetIds, w.data(), answer, kCallTimeoutMs)) return e;
        PayloadReader r(answer.payload);
        const uint32_t n = r.u32();
        if (n > *Count) {
            for (DWORD i = 0; i < *Count; ++i) Ids[i] = r.u32();
            *Count = n;
            return ERROR_MORE_DATA;
        }
        for (DWORD i = 0; i < n; ++i) Ids[i] = r.u32();
        *Count = n;
        return 0;
    });
}

DWORD WINAPI VrComputerGetInfo(HANDLE Handle, const WCHAR* Computer, DWORD InfoClass, void** Buffer) {
    return VrBase::GuardCode(L"VrComputerGetInfo", [&]() -> DWORD {
        std::shared_ptr<Session> s = Sessions().Find(Handle);
        if (!s) return ERROR_INVALID_HANDLE;
        if (!Buffer) return ERROR_INVALID_PARAMETER;
        *Buffer = nullptr;
        if (Computer && Computer[0] && wcscmp(Computer, L".") != 0) return ERROR_NOT_SUPPORTED;
        PayloadWriter w;
        w.u32(InfoClass);
        Frame answer;
        if (DWORD e = s->link->Call(CmdComputerInfo, w.data(), answer, kCallTimeoutMs)) return e;
        PayloadReader r(answer.payload);
        uint32_t size = 0;
        const BYTE* bytes = r.bytes(kMaxData, size);
        void* out = Buffers().Allocate(size ? size : 1);
        if (!out) return ERROR_NOT_ENOUGH_MEMORY;
        std::memcpy(out, bytes, size);
        *Buffer = out;
        return 0;
    });
}

void WINAPI VrApiBufferFree(void* Buffer) {
    if (Buffer) Buffers().Free(Buffer);
}

} // extern "C"
