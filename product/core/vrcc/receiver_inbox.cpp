#include "receiver_inbox.h"

namespace vrcc {

bool CReceiverInbox::MayTake(size_t bytes, DWORD senderSession, bool privileged) const {
    if (m_items.empty()) return true;
    if (m_items.size() >= kMaxDeliveries || m_bytes + bytes > kMaxBytes) return false;
    auto it = m_perSender.find(senderSession);
    if (it != m_perSender.end() && it->second >= kMaxPerSender) return false;
    if (!privileged &&
        (m_ordinary >= kMaxDeliveries - kPrivilegedRoom || m_ordinaryBytes + bytes > kOrdinaryBytes))
        return false;
    return true;
}

void CReceiverInbox::Delivered(uint64_t delivery, size_t bytes, DWORD senderSession, bool privileged) {
    m_items[delivery] = Item{bytes, senderSession, privileged};
    m_bytes += bytes;
    ++m_perSender[senderSession];
    if (!privileged) {
        ++m_ordinary;
        m_ordinaryBytes += bytes;
    }
}

void CReceiverInbox::Answered(uint64_t delivery) {
    auto it = m_items.find(delivery);
    if (it == m_items.end()) return;
    const Item& item = it->second;
    m_bytes -= item.bytes;
    auto s = m_perSender.find(item.sender);
    if (s != m_perSender.end() && --s->second == 0) m_perSender.erase(s);
    if (!item.privileged) {
        --m_ordinary;
        m_ordinaryBytes -= item.bytes;
    }
    m_items.erase(it);
}

void CReceiverInbox::Clear() {
    m_items.clear();
    m_perSender.clear();
    m_bytes = m_ordinary = m_ordinaryBytes = 0;
}

} // namespace vrcc
