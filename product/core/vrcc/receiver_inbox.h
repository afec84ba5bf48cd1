#pragma once
// What one receiver has been delivered and not yet answered, and who sent
// it. Bounds hold for the receiver, for each sender's session, and for all
// ordinary senders together, so that room stays for SYSTEM and
// administrators whatever ordinary users send. One delivery always goes
// through to an idle receiver, so a message of the largest size still goes.
// Not locked: the server's mutex guards it.
#include <windows.h>

#include <cstdint>
#include <map>

namespace vrcc {

class CReceiverInbox {
public:
    static constexpr size_t kMaxDeliveries = 16;
    static constexpr size_t kMaxBytes = 32u * 1024 * 1024;
    static constexpr size_t kMaxPerSender = 4;
    // Kept for privileged senders: ordinary ones together get the rest.
    static constexpr size_t kPrivilegedRoom = 4;
    static constexpr size_t kOrdinaryBytes = 24u * 1024 * 1024;

    bool MayTake(size_t bytes, DWORD senderSession, bool privileged) const;
    void Delivered(uint64_t delivery, size_t bytes, DWORD senderSession, bool privileged);
    void Answered(uint64_t delivery);
    void Clear();
    size_t Count() const { return m_items.size(); }

private:
    struct Item {
        size_t bytes;
        DWORD sender;
        bool privileged;
    };
    std::map<uint64_t, Item> m_items;
    std::map<DWORD, size_t> m_perSender;
    size_t m_bytes = 0;
    size_t m_ordinary = 0;
    size_t m_ordinaryBytes = 0;
};

} // namespace vrcc
