#pragma once
// The handles a client library gives out: opaque values that map to its
// own records. A value is never given out twice in a process run, so a
// stale handle finds nothing instead of somebody else's record.
#include "vrbase/vr_error.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace vrcc {

template <class T>
class CHandleTable {
public:
    // Handles are base + 8, base + 16, ...; each library takes its own base,
    // so a handle of one kind is never mistaken for another kind.
    explicit CHandleTable(uintptr_t base) : m_base(base) {}
    CHandleTable(const CHandleTable&) = delete;
    CHandleTable& operator=(const CHandleTable&) = delete;

    // Raises ERROR_NOT_ENOUGH_QUOTA once the values are used up.
    HANDLE Add(std::shared_ptr<T> item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_next >= (UINTPTR_MAX - m_base) >> 3) VR_RAISE(ERROR_NOT_ENOUGH_QUOTA, L"vrcc::CHandleTable::Add");
        const uintptr_t h = m_base + (m_next++ << 3);
        m_items[h] = std::move(item);
        return reinterpret_cast<HANDLE>(h);
    }
    std::shared_ptr<T> Find(HANDLE h) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_items.find(reinterpret_cast<uintptr_t>(h));
        return it == m_items.end() ? nullptr : it->second;
    }
    // The record, which stays alive while its user holds it; null when the
    // handle is not (or no longer) open.
    std::shared_ptr<T> Remove(HANDLE h) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_items.find(reinterpret_cast<uintptr_t>(h));
        if (it == m_items.end()) return nullptr;
        std::shared_ptr<T> item = std::move(it->second);
        m_items.erase(it);
        return item;
    }

private:
    mutable std::mutex m_mutex;
    std::map<uintptr_t, std::shared_ptr<T>> m_items;
    const uintptr_t m_base;
    uintptr_t m_next = 1;
};

} // namespace vrcc
