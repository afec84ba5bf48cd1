#include "ssr_msg_sender.h"

#include "sid_helpers.h"
#include "ssr_messages.h"
#include "vr_srv.h"
#include "vrbase/vr_error.h"

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kOverflow = ERROR_ARITHMETIC_OVERFLOW;  // 534
// The largest state reply asked for: no reply through the core is larger.
constexpr size_t kMaxStateReplyBytes = 64u * 1024 * 1024;

// Payload size of a header plus a NUL-terminated text, refused when it does
// not fit in 32 bits.
DWORD text_payload_size(size_t header, const std::wstring& text, const wchar_t* fn) {
    unsigned long long size = header + 2ull * (text.size() + 1);
    if (size > 0xFFFFFFFFull) VR_RAISE(kOverflow, fn);
    return static_cast<DWORD>(size);
}

void put_current_user_sid(BYTE (&area)[kSsrSidArea], const wchar_t* fn) {
    std::vector<BYTE> sid = get_current_user_sid();
    if (sid.size() > kSsrSidArea) VR_RAISE(ERROR_INSUFFICIENT_BUFFER, fn);
    std::memcpy(area, sid.data(), sid.size());
}

// The scan service's session: the first of its ids.
DWORD destination(CVrSrv& srv, const wchar_t* fn) {
    std::vector<DWORD> ids;
    srv.GetSubsystemIds(ids);
    // Nobody to send to: never guess an id.
    if (ids.empty()) VR_RAISE(ERROR_SERVICE_NOT_ACTIVE, fn);
    return ids.front();
}

// Status-only replies: the buffer grows to twice what the receiver asked
// for until the send goes through.
std::vector<BYTE> send_with_status_reply(CVrSrv& srv, DWORD id, const std::vector<BYTE>& payload, const wchar_t* fn) {
    const DWORD to = destination(srv, fn);
    std::vector<BYTE> reply(kSsrStatusReplySize, 0);
    DWORD replySize = static_cast<DWORD>(reply.size());
    while (!srv.SendMessageW(to, id, static_cast<DWORD>(payload.size()), payload.data(), &replySize, reply.data())) {
        unsigned long long wanted = 2ull * replySize;
        if (wanted < reply.size() || wanted > 0xFFFFFFFFull) VR_RAISE(kOverflow, fn);
        reply.resize(static_cast<size_t>(wanted), 0);
        replySize = static_cast<DWORD>(reply.size());
    }
    return reply;
}

DWORD status_of(const std::vector<BYTE>& reply) {
    DWORD status = 0;
    std::memcpy(&status, reply.data(), sizeof(status));
    return status;
}

bool has_nul(const WCHAR* text, size_t chars) {
    for (size_t i = 0; i < chars; ++i)
        if (text[i] == L'\0') return true;
    return false;
}

} // namespace

void ssr_send_full_config(const std::wstring& configuration) {
    const wchar_t* const fn = L"ssr_send_full_config";
    const DWORD size = text_payload_size(4, configuration, fn);
    std::vector<BYTE> payload(size, 0);
    std::memcpy(payload.data(), &size, 4);
    std::memcpy(payload.data() + 4, configuration.c_str(), configuration.size() * sizeof(wchar_t));
    CVrQuick quick;
    DWORD status = status_of(send_with_status_reply(quick.srv(), VRM_SSR_SET_FULL_CONFIG, payload, fn));
    if (status != 0) VR_RAISE(status, fn);
}

DWORD ssr_request_scan() {
    const wchar_t* const fn = L"ssr_request_scan";
    SSR_START_SCAN_PAYLOAD p{};
    p.Size = sizeof(p);
    put_current_user_sid(p.Sid, fn);
    std::vector<BYTE> payload(reinterpret_cast<BYTE*>(&p), reinterpret_cast<BYTE*>(&p) + sizeof(p));
    CVrQuick quick;
    return status_of(send_with_status_reply(quick.srv(), VRM_SSR_START_SCAN, payload, fn));
}

std::wstring ssr_request_state() {
    const wchar_t* const fn = L"ssr_request_state";
    CVrQuick quick;
    const DWORD to = destination(quick.srv(), fn);
    std::vector<BYTE> reply(4096, 0);
    DWORD replySize = static_cast<DWORD>(reply.size());
    // Only "too small" (122: every other failure raises) grows the buffer,
    // to what the receiver asks for or twice the size, and never past what
    // the core can carry: a receiver that always asks again is refused there.
    while (!quick.srv().SendMessageW(to, VRM_SSR_GET_STATE, 0, nullptr, &replySize, reply.data())) {
        if (reply.size() >= kMaxStateReplyBytes) VR_RAISE(ERROR_INSUFFICIENT_BUFFER, fn);
        size_t next = reply.size() * 2;
        if (replySize > next) next = replySize;
        if (next > kMaxStateReplyBytes) next = kMaxStateReplyBytes;
        reply.assign(next, 0);
        replySize = static_cast<DWORD>(reply.size());
    }
    const auto* r = reinterpret_cast<const SSR_STATE_REPLY*>(reply.data());
    // Size is the receiver's word on our buffer; never read past the buffer.
    if (r->Size < kSsrStateReplyMin || r->Size > reply.size()) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    if (r->Status != 0) VR_RAISE(r->Status, fn);
    const size_t chars = r->Size / 2 - 4;
    if (!has_nul(r->Text, chars)) VR_RAISE(ERROR_INVALID_PARAMETER, fn);
    return std::wstring(r->Text);
}

std::wstring ssr_request_export(const std::wstring& parameters) {
    const wchar_t* const fn = L"ssr_request_export";
    const DWORD size = text_payload_size(72, parameters, fn);
    std::vector<BYTE> payload(size, 0);
    std::memcpy(payload.data(), &size, 4);
    BYTE sid[kSsrSidArea] = {};
    put_current_user_sid(sid, fn);
    std::memcpy(payload.data() + 4, sid, kSsrSidArea);
    std::memcpy(payload.data() + 72, parameters.c_str(), parameters.size() * sizeof(wchar_t));
    CVrQuick quick;
    const DWORD to = destination(quick.srv(), fn);
    SSR_EXPORT_REPLY reply{};
    DWORD replySize = sizeof(reply);
    if (!quick.srv().SendMessageW(to, VRM_SSR_EXPORT_SOFTWARE_STATE, size, payload.data(), &replySize, &reply))
        VR_RAISE(ERROR_INSUFFICIENT_BUFFER, fn);
    if (reply.Status != 0) VR_RAISE(reply.Status, fn);
    if (!has_nul(reply.UniqueId, kSsrUniqueIdChars)) VR_RAISE(ERROR_BUFFER_OVERFLOW, fn);
    return reply.UniqueId;
}
