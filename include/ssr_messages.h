#pragma once
// The four messages between the management DLL and the scan service: ids,
// request payloads and replies. Little-endian, UTF-16 text ending in NUL.
#include <windows.h>
#include <stddef.h>

enum : DWORD {
    VRM_SSR_SET_FULL_CONFIG = 0x20700001,
    VRM_SSR_GET_STATE = 0x20700002,
    VRM_SSR_START_SCAN = 0x20700003,
    VRM_SSR_EXPORT_SOFTWARE_STATE = 0x20700004,
};

constexpr const wchar_t* kSsrSubsystemName = L"VrSoftwareState";
constexpr DWORD kSsrSidArea = 68;        // the largest SID there is
constexpr DWORD kSsrUniqueIdChars = 128; // UniqueId of the export reply

#pragma pack(push, 1)
// Size counts the whole payload, itself included; Text follows.
struct SSR_CONFIG_PAYLOAD {
    DWORD Size;
    WCHAR Text[1];
};
struct SSR_START_SCAN_PAYLOAD {
    DWORD Size;
    BYTE Sid[kSsrSidArea];
};
struct SSR_EXPORT_PAYLOAD {
    DWORD Size;
    BYTE Sid[kSsrSidArea];
    WCHAR Text[1];
};
struct SSR_STATUS_REPLY {
    DWORD Status;
};
// Size is the size of the sender's buffer; the document follows Status.
struct SSR_STATE_REPLY {
    DWORD Size;
    DWORD Status;
    WCHAR Text[1];
};
struct SSR_EXPORT_REPLY {
    DWORD Status;
    WCHAR UniqueId[kSsrUniqueIdChars];
};
#pragma pack(pop)

static_assert(offsetof(SSR_CONFIG_PAYLOAD, Text) == 4, "config text");
static_assert(sizeof(SSR_START_SCAN_PAYLOAD) == 72, "start scan payload");
static_assert(offsetof(SSR_EXPORT_PAYLOAD, Text) == 72, "export text");
static_assert(offsetof(SSR_STATE_REPLY, Text) == 8, "state text");
static_assert(sizeof(SSR_EXPORT_REPLY) == 260, "export reply");

// Minimum reply buffers.
constexpr DWORD kSsrStatusReplySize = 4;
constexpr DWORD kSsrStateReplyMin = 10;
constexpr DWORD kSsrExportReplySize = sizeof(SSR_EXPORT_REPLY);

// The message's name as the service traces it; null for other ids.
inline const wchar_t* ssr_message_name(DWORD id) {
    switch (id) {
    case VRM_SSR_SET_FULL_CONFIG: return L"VRM_SSR_SET_FULL_CONFIG";
    case VRM_SSR_GET_STATE: return L"VRM_SSR_GET_STATE";
    case VRM_SSR_START_SCAN: return L"VRM_SSR_START_SCAN";
    case VRM_SSR_EXPORT_SOFTWARE_STATE: return L"VRM_SSR_EXPORT_SOFTWARE_STATE";
    default: return nullptr;
    }
}
