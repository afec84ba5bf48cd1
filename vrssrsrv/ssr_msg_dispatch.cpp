#include "ssr_msg_dispatch.h"

#include "sid_helpers.h"
#include "user_acc_helper.h"
#include "vrbase/exception_guard.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<ISsrOperations*> g_operations{nullptr};

ISsrOperations& operations(const wchar_t* fn) {
    ISsrOperations* ops = g_operations.load();
    if (!ops) VR_RAISE(ERROR_NOT_READY, fn);
    return *ops;
}

using Step = void (*)(const VRM_MESSAGE*, DWORD*, void*);
struct Dispatch {
    DWORD id;
    const wchar_t* name;
    Step check;
    Step handle;
};

// Built at load time, before any routine can run: only read afterwards.
const Dispatch kDispatch[] = {
    {VRM_SSR_SET_FULL_CONFIG, L"VRM_SSR_SET_FULL_CONFIG", check_VRM_SSR_SET_FULL_CONFIG_msg,
     handler_VRM_SSR_SET_FULL_CONFIG},
    {VRM_SSR_GET_STATE, L"VRM_SSR_GET_STATE", check_VRM_SSR_GET_STATE_msg, handler_VRM_SSR_GET_STATE},
    {VRM_SSR_START_SCAN, L"VRM_SSR_START_SCAN", check_VRM_SSR_START_SCAN_msg, handler_VRM_SSR_START_SCAN},
    {VRM_SSR_EXPORT_SOFTWARE_STATE, L"VRM_SSR_EXPORT_SOFTWARE_STATE", check_VRM_SSR_EXPORT_SOFTWARE_STATE_msg,
     handler_VRM_SSR_EXPORT_SOFTWARE_STATE},
};

DWORD payload_size(const VRM_MESSAGE* m) {
    DWORD size = 0;
    std::memcpy(&size, m->Data, sizeof(size));
    return size;
}

bool nul_within(const BYTE* text, size_t chars) {
    for (size_t i = 0; i < chars; ++i)
        if (text[2 * i] == 0 && text[2 * i + 1] == 0) return true;
    return false;
}

// The payload's own Size: at least its fixed part, never beyond the data.
DWORD checked_payload_size(const VRM_MESSAGE* m, DWORD minimum, const wchar_t* fn) {
    if (m->DataSize < minimum) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    const DWORD size = payload_size(m);
    if (m->DataSize < size || size < minimum) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    return size;
}

void check_sid(const VRM_MESSAGE* m, const wchar_t* fn) {
    BYTE sid[kSsrSidArea];
    std::memcpy(sid, m->Data + 4, kSsrSidArea);
    if (!::IsValidSid(sid) || ::GetLengthSid(sid) > kSsrSidArea) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
}

void check_admin(const wchar_t* fn) {
    if (!IsUserLocalAdmin()) VR_RAISE(ERROR_ACCESS_DENIED, fn);
}

void check_reply(DWORD* replySize, void* replyBuffer, DWORD minimum, const wchar_t* fn) {
    if (!replyBuffer || !replySize) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    if (*replySize < minimum) {
        *replySize = minimum;
        VR_RAISE(ERROR_INSUFFICIENT_BUFFER, fn);
    }
}

std::wstring text_at(const VRM_MESSAGE* m, size_t offset) {
    return std::wstring(reinterpret_cast<const wchar_t*>(m->Data + offset));
}

// Who asked is who the core's token says, whatever SID the payload names:
// the routine runs under the sender's token.
std::vector<BYTE> sender_sid() { return get_current_user_sid(); }

void write_status(void* reply, DWORD status) { std::memcpy(reply, &status, sizeof(status)); }

} // namespace

void set_ssr_operations(ISsrOperations* ops) { g_operations.store(ops); }

void check_VRM_SSR_SET_FULL_CONFIG_msg(const VRM_MESSAGE* m, DWORD* replySize, void* reply) {
    const wchar_t* const fn = L"check_VRM_SSR_SET_FULL_CONFIG_msg";
    const DWORD size = checked_payload_size(m, 6, fn);
    if (!nul_within(m->Data + 4, size / 2 - 2)) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    check_admin(fn);
    check_reply(replySize, reply, kSsrStatusReplySize, fn);
}

void check_VRM_SSR_GET_STATE_msg(const VRM_MESSAGE*, DWORD* replySize, void* reply) {
    check_reply(replySize, reply, kSsrStateReplyMin, L"check_VRM_SSR_GET_STATE_msg");
}

void check_VRM_SSR_START_SCAN_msg(const VRM_MESSAGE* m, DWORD* replySize, void* reply) {
    const wchar_t* const fn = L"check_VRM_SSR_START_SCAN_msg";
    checked_payload_size(m, 72, fn);
    check_sid(m, fn);
    check_reply(replySize, reply, kSsrStatusReplySize, fn);
}

void check_VRM_SSR_EXPORT_SOFTWARE_STATE_msg(const VRM_MESSAGE* m, DWORD* replySize, void* reply) {
    const wchar_t* const fn = L"check_VRM_SSR_EXPORT_SOFTWARE_STATE_msg";
    const DWORD size = checked_payload_size(m, 74, fn);
    if (!nul_within(m->Data + 72, size / 2 - 36)) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    check_sid(m, fn);
    check_admin(fn);
    check_reply(replySize, reply, kSsrExportReplySize, fn);
}

void handler_VRM_SSR_SET_FULL_CONFIG(const VRM_MESSAGE* m, DWORD* replySize, void* reply) {
    write_status(reply, operations(L"handler_VRM_SSR_SET_FULL_CONFIG").setup_new_full_config(text_at(m, 4)));
    *replySize = kSsrStatusReplySize;
}

void handler_VRM_SSR_GET_STATE(const VRM_MESSAGE*, DWORD* replySize, void* reply) {
    const wchar_t* const fn = L"handler_VRM_SSR_GET_STATE";
    // Only what is written goes back, so only that is touched: a large
    // buffer costs its sender, not this process.
    auto* r = static_cast<SSR_STATE_REPLY*>(reply);
    r->Size = *replySize;
    std::wstring document;
    r->Status = operations(fn).query_ssr_state(document);
    if (r->Status != 0) {
        *replySize = offsetof(SSR_STATE_REPLY, Text);
        return;
    }
    const unsigned long long needed = 2ull * document.size() + kSsrStateReplyMin;
    if (needed > *replySize) {
        r->Status = ERROR_BUFFER_OVERFLOW;
        *replySize = needed > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(needed);
        VR_RAISE(ERROR_BUFFER_OVERFLOW, fn);
    }
    std::memcpy(r->Text, document.c_str(), (document.size() + 1) * sizeof(wchar_t));  // with its NUL
    *replySize = static_cast<DWORD>(needed);
}

void handler_VRM_SSR_START_SCAN(const VRM_MESSAGE*, DWORD* replySize, void* reply) {
    write_status(reply, operations(L"handler_VRM_SSR_START_SCAN").start_software_scan(sender_sid()));
    *replySize = kSsrStatusReplySize;
}

void handler_VRM_SSR_EXPORT_SOFTWARE_STATE(const VRM_MESSAGE* m, DWORD* replySize, void* reply) {
    const wchar_t* const fn = L"handler_VRM_SSR_EXPORT_SOFTWARE_STATE";
    const std::wstring parameters = text_at(m, 72);
    const std::wstring sid = get_StrSID_4m_SID(sender_sid().data());
    std::memset(reply, 0, kSsrExportReplySize);
    *replySize = kSsrExportReplySize;
    auto* r = static_cast<SSR_EXPORT_REPLY*>(reply);
    std::wstring uniqueId;
    r->Status = operations(fn).export_software_state(parameters, sid, uniqueId);
    if (r->Status != 0) return;
    if (uniqueId.size() >= kSsrUniqueIdChars) {
        r->Status = ERROR_BUFFER_OVERFLOW;
        return;
    }
    std::memcpy(r->UniqueId, uniqueId.c_str(), uniqueId.size() * sizeof(wchar_t));
}

DWORD WINAPI SendRoutine(void*, VRM_MESSAGE* message, DWORD* replySize, void* replyBuffer) {
    VrBase::CSehCatcher seh;
    VrBase::CRTLTranslator rtl;
    const DWORD result = VrBase::GuardCode(L"SendRoutine", [&]() -> DWORD {
        if (!message) VR_RAISE(ERROR_INVALID_PARAMETER, L"SendRoutine");
        for (const Dispatch& d : kDispatch) {
            if (d.id != message->MessageId) continue;
            VR_TRACE(VrBase::TL_INFO, L"SendRoutine", L"Msg %ls", d.name);
            d.check(message, replySize, replyBuffer);
            d.handle(message, replySize, replyBuffer);
            return 0;
        }
        VR_TRACE(VrBase::TL_WARNING, L"SendRoutine", L"Unsupported message. msg = 0x%X", message->MessageId);
        if (replySize) *replySize = 0;  // nothing written
        return 0;
    });
    return result;
}

DWORD WINAPI PostRoutine(void*, VRM_MESSAGE* message) {
    VR_TRACE(VrBase::TL_INFO, L"PostRoutine", L"msg = 0x%X", message ? message->MessageId : 0u);
    return 0;
}
