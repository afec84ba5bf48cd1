#include "writer_quota.h"

namespace vrcc {
namespace {
constexpr ULONGLONG kMinuteMs = 60000;
}

bool CWriterQuota::Charge(const std::wstring& writer, uint64_t bytes, ULONGLONG nowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_windows.size() >= kMaxWriters) {
        for (auto it = m_windows.begin(); it != m_windows.end();)
            it = nowMs - it->second.start >= kMinuteMs ? m_windows.erase(it) : std::next(it);
        // Every one of them wrote within the minute: a new writer waits.
        if (m_windows.size() >= kMaxWriters && !m_windows.count(writer)) return false;
    }
    Window& w = m_windows[writer];
    if (w.records == 0 || nowMs - w.start >= kMinuteMs) w = Window{nowMs, 0, 0};
    if (w.records + 1 > kRecordsPerMinute || w.bytes + bytes > kBytesPerMinute) return false;
    ++w.records;
    w.bytes += bytes;
    return true;
}

} // namespace vrcc
