// Throughput of the GOST R 34.11-94 core against librhash on the same data.
// Reports only; timings vary too much between machines to assert on.
#include "gost94_core.h"

#include <rhash.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const size_t kTotal = size_t(256) << 20;
const size_t kChunk = size_t(1) << 20;  // the product reads files in 1 MiB pieces

template <class F>
double seconds(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void print_hex(const char* label, const unsigned char* d) {
    std::printf("%s ", label);
    for (int i = 0; i < 32; ++i) std::printf("%02x", d[i]);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = argc > 1 ? std::atoi(argv[1]) : 1;
    if (repeats < 1) repeats = 1;

    std::vector<unsigned char> data(kTotal);
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (size_t i = 0; i < kTotal; i += 8) {
        x ^= x << 13; x ^= x >> 7; x ^= x << 17;
        std::memcpy(&data[i], &x, 8);
    }
    rhash_library_init();

    unsigned char ours[32], theirs[32];
    double best_ours = 1e30, best_rhash = 1e30;
    for (int r = 0; r < repeats; ++r) {
        double t = seconds([&] {
            gost94::Hasher h(gost94::test_param_set_block());
            for (size_t off = 0; off < kTotal; off += kChunk) h.update(&data[off], kChunk);
            h.final(ours);
        });
        if (t < best_ours) best_ours = t;
        t = seconds([&] {
            rhash ctx = rhash_init(RHASH_GOST94);
            for (size_t off = 0; off < kTotal; off += kChunk) rhash_update(ctx, &data[off], kChunk);
            rhash_final(ctx, theirs);
            rhash_free(ctx);
        });
        if (t < best_rhash) best_rhash = t;
    }

    const double mb = double(kTotal) / 1e6;
    std::printf("data: %zu MiB, best of %d\n", kTotal >> 20, repeats);
    std::printf("ours: %.1f MB/s\n", mb / best_ours);
    std::printf("rhash: %.1f MB/s\n", mb / best_rhash);
    std::printf("ratio: %.2f\n", best_rhash / best_ours);
    if (std::memcmp(ours, theirs, 32) != 0) {
        print_hex("ours ", ours);
        print_hex("rhash", theirs);
        std::printf("digests differ\n");
        return 1;
    }
    return 0;
}
