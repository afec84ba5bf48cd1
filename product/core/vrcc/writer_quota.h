#pragma once
// What one ordinary writer may add to the journal per minute: records and
// bytes, counted in windows of a minute per writer.
#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace vrcc {

class CWriterQuota {
public:
    static constexpr uint32_t kRecordsPerMinute = 120;
    static constexpr uint64_t kBytesPerMinute = 2ull << 20;
    static constexpr size_t kMaxWriters = 4096;  // forgotten once their minute is over

    // Counts the record against the writer's minute; false (nothing
    // counted) when it would go past either bound.
    bool Charge(const std::wstring& writer, uint64_t bytes, ULONGLONG nowMs);

private:
    struct Window {
        ULONGLONG start = 0;
        uint32_t records = 0;
        uint64_t bytes = 0;
    };
    std::mutex m_mutex;
    std::map<std::wstring, Window> m_windows;
};

} // namespace vrcc
