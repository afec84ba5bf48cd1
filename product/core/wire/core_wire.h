#pragma once
// Frames between the core service and its clients: one pipe message per
// frame, a fixed header, then a payload of little-endian fields.
#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vrcc {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\VrCC.Core";
constexpr wchar_t kServiceName[] = L"VrCC";
constexpr wchar_t kInstanceMutexName[] = L"Global\\VrCC.Core.Instance";
constexpr wchar_t kCoreKey[] = L"SOFTWARE\\Orvane\\Varnel 5\\Core";
constexpr wchar_t kParametersKey[] = L"SOFTWARE\\Orvane\\Varnel 5\\Core\\Parameters";
constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Orvane\\Varnel 5\\Core\\Policy";
constexpr wchar_t kComputerKey[] = L"SOFTWARE\\Orvane\\Varnel 5\\Core\\Computer";

constexpr uint32_t kMagic = 0x31434356;  // "VCC1"
constexpr uint16_t kVersion = 1;
constexpr uint32_t kMaxData = 64u * 1024 * 1024;       // message data, reply, policy text
constexpr uint32_t kMaxPayload = kMaxData + 64 * 1024;  // data plus the fields around it
constexpr uint32_t kMaxNameChars = 256;
constexpr uint32_t kMaxTextChars = 32 * 1024;  // one event string
constexpr uint32_t kMaxEventStrings = 256;
constexpr uint32_t kMaxEventData = 61440;
constexpr uint32_t kMaxSubscriptions = 4096;
// The source of a journal record written by an ordinary caller starts with
// this: only SYSTEM and administrators write sources without it.
constexpr wchar_t kOrdinarySourcePrefix[] = L"user:";

// Codes of the link, as callers see them.
constexpr DWORD kErrCoreDown = RPC_S_SERVER_UNAVAILABLE;      // 1722
constexpr DWORD kErrLinkLost = RPC_S_CALL_FAILED;             // 1726
constexpr DWORD kErrPolicyNotServing = RPC_S_NOT_LISTENING;   // 1715
constexpr DWORD kErrNoDestination = ERROR_NOT_FOUND;          // 1168
constexpr DWORD kErrNotTaken = ERROR_NOT_SUPPORTED;           // 50
constexpr DWORD kErrReceiverGone = ERROR_PROCESS_ABORTED;     // 1067
constexpr DWORD kErrReceiverTimeout = ERROR_TIMEOUT;          // 1460
constexpr DWORD kErrReceiverBusy = ERROR_BUSY;                // 170: too much delivered and not yet answered
constexpr DWORD kErrUntrustedCore = ERROR_ACCESS_DENIED;      // 5: the pipe is served by somebody else

enum Command : uint16_t {
    // client -> core; the answer carries the command with kReply set
    CmdOpenSession = 0x01,
    CmdCloseSession = 0x02,
    CmdSubscribe = 0x03,
    CmdSend = 0x04,
    CmdPost = 0x05,
    CmdGetIds = 0x06,
    CmdComputerInfo = 0x07,
    CmdWriteEvent = 0x20,
    CmdNotify = 0x21,
    CmdAgentRegister = 0x22,
    CmdPolicyRead = 0x30,
    CmdPolicyList = 0x31,
    CmdPolicySet = 0x32,
    CmdPolicyDelete = 0x33,
    CmdComputerSet = 0x40,
    CmdListSessions = 0x41,
    CmdReadEvents = 0x42,
    // core -> client, unasked
    CmdDeliverSend = 0x80,
    CmdDeliverPost = 0x81,
    CmdAgentNotify = 0x82,
    // client -> core, the answer to a delivery; not answered itself
    CmdDeliverReply = 0x90,
    kReply = 0x8000,
};

#pragma pack(push, 1)
struct FrameHeader {
    uint32_t magic;
    uint16_t version;
    uint16_t command;
    uint64_t id;  // request number, echoed in the answer; delivery number for deliveries
    uint32_t status;
    uint32_t payloadSize;
    uint64_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(FrameHeader) == 32, "frame header");

// A frame the peer got wrong: the connection ends.
class ProtocolError : public std::runtime_error {
public:
    explicit ProtocolError(const char* what) : std::runtime_error(what) {}
};

struct Frame {
    uint16_t command = 0;
    uint64_t id = 0;
    uint32_t status = 0;
    std::vector<BYTE> payload;
};

// Header and payload as one pipe message.
std::vector<BYTE> EncodeFrame(uint16_t command, uint64_t id, uint32_t status, const std::vector<BYTE>& payload);
// Checks the header's own fields (magic, version, reserved, payload limit)
// in a message that begins with it; throws ProtocolError.
FrameHeader PeekHeader(const BYTE* data, size_t size);
// The same, and the header against the message length.
FrameHeader CheckHeader(const BYTE* data, size_t size);

class PayloadWriter {
public:
    PayloadWriter& u16(uint16_t v) { return raw(&v, sizeof v); }
    PayloadWriter& u32(uint32_t v) { return raw(&v, sizeof v); }
    PayloadWriter& u64(uint64_t v) { return raw(&v, sizeof v); }
    // Length in characters, then the characters; no terminator.
    PayloadWriter& str(const std::wstring& s);
    PayloadWriter& str(const wchar_t* s) { return str(std::wstring(s ? s : L"")); }
    // Length in bytes, then the bytes.
    PayloadWriter& bytes(const void* data, size_t size);
    PayloadWriter& raw(const void* data, size_t size);
    std::vector<BYTE>& data() { return m_data; }
    std::vector<BYTE> take() { return std::move(m_data); }

private:
    std::vector<BYTE> m_data;
};

// Reads fields with every length checked against what is left; a short or
// oversized field throws ProtocolError.
class PayloadReader {
public:
    PayloadReader(const BYTE* data, size_t size) : m_data(data), m_size(size) {}
    explicit PayloadReader(const std::vector<BYTE>& v) : PayloadReader(v.data(), v.size()) {}
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    std::wstring str(uint32_t maxChars);
    // Points into the payload; valid while it lives.
    const BYTE* bytes(uint32_t maxSize, uint32_t& size);
    std::vector<BYTE> byteVector(uint32_t maxSize);
    size_t left() const { return m_size - m_pos; }
    void end() const;  // nothing may follow the last field

private:
    const BYTE* take(size_t n);
    const BYTE* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// The private part of a delivered message's 72-byte core header.
#pragma pack(push, 4)
struct CoreMessageHeader {
    uint32_t size;  // 72
    uint32_t kind;  // 1 sent, 2 posted
    uint32_t senderSessionId;
    uint32_t senderProcessId;
    uint32_t receiverSessionId;
    uint32_t replyCapacity;
    uint64_t deliveryId;
    BYTE reserved[40];
};
#pragma pack(pop)
static_assert(sizeof(CoreMessageHeader) == 72, "core message header");

enum DeliveryKind : uint32_t { kDeliverySend = 1, kDeliveryPost = 2 };

} // namespace vrcc
