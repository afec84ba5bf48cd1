#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};
}

namespace bench {
long long live_bytes() { return g_live.load(); }
long long peak_bytes() { return g_peak.load(); }
void reset_peak() { g_peak.store(g_live.load()); }
} // namespace bench

void* operator new(size_t size) {
    auto* p = static_cast<size_t*>(std::malloc(size + sizeof(size_t) * 2));
    if (!p) throw std::bad_alloc();
    *p = size;
    long long now = g_live += static_cast<long long>(size);
    long long peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return p + 2;
}

void operator delete(void* p) noexcept {
    if (!p) return;
    auto* base = static_cast<size_t*>(p) - 2;
    g_live -= static_cast<long long>(*base);
    std::free(base);
}

void operator delete(void* p, size_t) noexcept { operator delete(p); }
void* operator new[](size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
