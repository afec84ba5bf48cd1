#include "digest.h"

#include "database.h"
#include "name_fold.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>

namespace fleet {

namespace {

struct DigestContextFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct DigestFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};

// Fetched once: naming the algorithm on every use looks it up each time.
// The library uses the processor's SHA instructions where there are any;
// every entry of a passport is hashed a few times.
const EVP_MD* sha256() {
    static const std::unique_ptr<EVP_MD, DigestFree> md(EVP_MD_fetch(nullptr, "SHA256", nullptr));
    if (!md) throw StoreError("SHA-256 is not available from the crypto library");
    return md.get();
}

} // namespace

std::string digest_of(const std::vector<const std::string*>& parts) {
    // One context per thread, kept: the reading thread hashes every entry.
    thread_local const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    EVP_MD_CTX* c = context.get();
    bool ok = c && EVP_DigestInit_ex2(c, sha256(), nullptr) == 1;
    for (const std::string* part : parts) {
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(uint64_t(part->size()) >> (8 * i));
        ok = ok && EVP_DigestUpdate(c, length, sizeof(length)) == 1 && EVP_DigestUpdate(c, part->data(), part->size()) == 1;
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    ok = ok && EVP_DigestFinal_ex(c, out, &size) == 1 && size >= 16;
    if (!ok) throw StoreError("SHA-256 failed in the crypto library");
    static const char hex[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) text[2 * i] = hex[out[i] >> 4], text[2 * i + 1] = hex[out[i] & 15];
    return text;
}

std::string folded_digest(const std::string& name) {
    const std::string folded = folded_name(name);
    return digest_of({&folded});
}

} // namespace fleet
