// VrEvtApi.dll: event sources are local records; each write and each
// notification is one request to the core. Agents hold a lasting connection
// on which the core forwards the notifications for their components.
#include "vrevtapi.h"

#include "core_link.h"
#include "handle_table.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"

#include <map>
#include <memory>
#include <mutex>

VR_DEFINE_MODULE_TRACE(L"VrEvtApi")

using namespace vrcc;

namespace {

constexpr DWORD kCloseWaitMs = 10000;
constexpr DWORD kCallTimeoutMs = 30000;

struct Source {
    std::wstring component;
    std::wstring category;
};

struct Agent {
    std::wstring component;
    PVR_AGENT_ROUTINE routine = nullptr;
    void* context = nullptr;
    std::shared_ptr<CCoreLink> link;
};

CHandleTable<Source>& SourcesTable() {
    static auto* t = new CHandleTable<Source>(0x20000);
    return *t;
}

CHandleTable<Agent>& AgentsTable() {
    static auto* t = new CHandleTable<Agent>(0x40000000);
    return *t;
}

bool ValidName(const WCHAR* name, bool mayBeEmpty) {
    if (!name) return mayBeEmpty;
    size_t n = wcsnlen(name, kMaxNameChars + 1);
    return n <= kMaxNameChars && (mayBeEmpty || n > 0);
}

DWORD WriteEvent(HANDLE handle, WORD type, WORD category, DWORD eventId, PSID sid, WORD count, DWORD dataSize,
                 const WCHAR** strings, void* data) {
    std::shared_ptr<Source> source = SourcesTable().Find(handle);
    if (!source) return ERROR_INVALID_HANDLE;
    if ((count && !strings) || count > kMaxEventStrings) return ERROR_INVALID_PARAMETER;
    if ((dataSize && !data) || dataSize > kMaxEventData) return ERROR_INVALID_PARAMETER;
    if (sid && !::IsValidSid(sid)) return ERROR_INVALID_SID;
    PayloadWriter w;
    w.str(source->component).str(source->category).u16(type).u16(category).u32(eventId);
    if (sid) w.bytes(sid, ::GetLengthSid(sid));
    else w.bytes(nullptr, 0);
    w.u32(count);
    for (WORD i = 0; i < count; ++i) {
        if (!strings[i]) return ERROR_INVALID_PARAMETER;
        size_t n = wcsnlen(strings[i], kMaxTextChars + 1);
        if (n > kMaxTextChars) return ERROR_INVALID_PARAMETER;
        w.str(std::wstring(strings[i], n));
    }
    w.bytes(data, dataSize);
    // The core judges who writes: only SYSTEM and administrators may write
    // in another user's or a service's name.
    VrBase::unique_handle token;
    if (DWORD e = OpenEffectiveToken(token)) return e;
    w.u64(reinterpret_cast<uintptr_t>(token.get()));
    Frame answer;
    return CoreCall(CmdWriteEvent, w.data(), answer);
}

DWORD Notify(HANDLE handle, DWORD kind, const WCHAR* setName) {
    std::shared_ptr<Source> source = SourcesTable().Find(handle);
    if (!source) return ERROR_INVALID_HANDLE;
    if (!ValidName(setName, true)) return ERROR_INVALID_PARAMETER;
    PayloadWriter w;
    w.str(source->component).u32(kind).str(setName);
    Frame answer;
    return CoreCall(CmdNotify, w.data(), answer);
}

void OnAgentFrame(const std::shared_ptr<Agent>& agent, Frame& f) {
    if (f.status == ERROR_CANCELLED || f.command != CmdAgentNotify) return;
    try {
        PayloadReader r(f.payload);
        std::wstring component = r.str(kMaxNameChars);
        DWORD kind = r.u32();
        std::wstring setName = r.str(kMaxNameChars);
        agent->routine(agent->context, kind, component.c_str(), setName.c_str());
    } catch (const ProtocolError& p) {
        VR_TRACE(VrBase::TL_ERROR, L"OnAgentFrame", L"bad notification from the core: %hs", p.what());
    }
}

} // namespace

extern "C" {

HANDLE WINAPI VrRegisterEventSourceEx(const WCHAR* Component, const WCHAR* Category) {
    HANDLE result = nullptr;
    DWORD e = VrBase::GuardCode(L"VrRegisterEventSourceEx", [&]() -> DWORD {
        if (!ValidName(Component, false) || !ValidName(Category, true)) return ERROR_INVALID_PARAMETER;
        auto source = std::make_shared<Source>();
        source->component = Component;
        source->category = Category ? Category : L"";
        result = SourcesTable().Add(std::move(source));
        return 0;
    });
    ::SetLastError(e);
    return result;
}

BOOL WINAPI VrDeregisterEventSource(HANDLE Source) {
    DWORD e = SourcesTable().Remove(Source) ? 0 : ERROR_INVALID_HANDLE;
    ::SetLastError(e);
    return e == 0;
}

BOOL WINAPI VrWriteEvent(HANDLE Source, WORD Type, WORD Category, DWORD EventId, PSID UserSid, WORD NumStrings,
                         DWORD DataSize, const WCHAR** Strings, void* RawData) {
    DWORD e = VrBase::GuardCode(L"VrWriteEvent", [&] {
        return WriteEvent(Source, Type, Category, EventId, UserSid, NumStrings, DataSize, Strings, RawData);
    });
    ::SetLastError(e);
    return e == 0;
}

DWORD WINAPI VrNotifyConfigChanged(HANDLE Source, const WCHAR* SetName) {
    return VrBase::GuardCode(L"VrNotifyConfigChanged",
                             [&] { return Notify(Source, VR_AGENT_CONFIG_CHANGED, SetName); });
}

DWORD WINAPI VrNotifyStateChanged(HANDLE Source, const WCHAR* SetName) {
    return VrBase::GuardCode(L"VrNotifyStateChanged", [&] { return Notify(Source, VR_AGENT_STATE_CHANGED, SetName); });
}

DWORD WINAPI VrRegisterAgentNotify(const WCHAR* Component, PVR_AGENT_ROUTINE Routine, void* Context,
                                   HANDLE* Registration) {
    return VrBase::GuardCode(L"VrRegisterAgentNotify", [&]() -> DWORD {
        if (!ValidName(Component, false) || !Routine || !Registration) return ERROR_INVALID_PARAMETER;
        *Registration = nullptr;
        auto agent = std::make_shared<Agent>();
        agent->component = Component;
        agent->routine = Routine;
        agent->context = Context;
        // Weak: the agent owns the link, not the other way round.
        std::weak_ptr<Agent> weak = agent;
        auto onFrame = [weak](CCoreLink&, Frame& f) {
            if (auto a = weak.lock()) OnAgentFrame(a, f);
        };
        auto onLost = [weak] {
            if (auto a = weak.lock()) a->routine(a->context, VR_AGENT_CORE_LOST, a->component.c_str(), L"");
        };
        std::shared_ptr<CCoreLink> link;
        DWORD e = CCoreLink::Connect(onFrame, onLost, link);
        if (e) return e;
        PayloadWriter w;
        w.str(agent->component);
        Frame answer;
        e = link->Call(CmdAgentRegister, w.data(), answer, kCallTimeoutMs);
        if (e) {
            link->Shutdown(kCloseWaitMs);
            return e;
        }
        agent->link = link;
        *Registration = AgentsTable().Add(agent);
        return 0;
    });
}

DWORD WINAPI VrUnregisterAgentNotify(HANDLE Registration) {
    return VrBase::GuardCode(L"VrUnregisterAgentNotify", [&]() -> DWORD {
        std::shared_ptr<Agent> agent = AgentsTable().Remove(Registration);
        if (!agent) return ERROR_INVALID_HANDLE;
        agent->link->Shutdown(kCloseWaitMs);
        return 0;
    });
}

} // extern "C"
