// Vr5CryptoApi.dll: GOST R 34.11-94 hashing behind key and context handles.
// Only the hash path is provided; every other export says so with
// ERROR_NOT_SUPPORTED.
#include "Vr5CryptoApi.h"

#include "gost94_core.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

struct Key {
    DWORD algId;
};

struct Context {
    std::mutex lock;  // callers may share a context between threads
    std::unique_ptr<gost94::Hasher> hasher;  // present from the init action on
};

// Handles are serial numbers, never addresses, drawn from one counter for
// both kinds and never reused: a destroyed, forged or wrong-kind handle is
// simply not found instead of being dereferenced.
std::atomic<uintptr_t> g_nextHandle{0x1000};

template <class T>
class HandleTable {
public:
    uintptr_t Add(std::shared_ptr<T> object) {
        const uintptr_t id = g_nextHandle.fetch_add(4);
        std::lock_guard<std::mutex> guard(m_lock);
        m_objects.emplace(id, std::move(object));
        return id;
    }
    // Shared ownership keeps an object alive for a call in flight on another
    // thread while its handle is destroyed.
    std::shared_ptr<T> Find(uintptr_t id) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(id);
        return it == m_objects.end() ? nullptr : it->second;
    }
    bool Remove(uintptr_t id) {
        std::shared_ptr<T> doomed;  // released outside the lock
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_objects.find(id);
        if (it == m_objects.end()) return false;
        doomed = std::move(it->second);
        m_objects.erase(it);
        return true;
    }

private:
    std::mutex m_lock;
    std::unordered_map<uintptr_t, std::shared_ptr<T>> m_objects;
};

HandleTable<Key>& Keys() {
    static HandleTable<Key> table;
    return table;
}

HandleTable<Context>& Contexts() {
    static HandleTable<Context> table;
    return table;
}

// No C++ exception may cross the C interface.
template <class F>
DWORD Guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

// A pointer and its length must agree: both empty or both given.
bool PairIsEmpty(const void* p, DWORD length) { return p == nullptr && length == 0; }

DWORD HashInit(Context& ctx, const void* iv, DWORD ivLength, const void* block, DWORD blockLength) {
    if (!PairIsEmpty(iv, ivLength) && (iv == nullptr || ivLength != VR_GOST94_START_VECTOR_SIZE))
        return ERROR_INVALID_PARAMETER;
    if (!PairIsEmpty(block, blockLength) && (block == nullptr || blockLength != VR_GOST94_PARAM_BLOCK_SIZE))
        return ERROR_INVALID_PARAMETER;
    // The boxes are unpacked from the caller's bytes; none means the test set.
    ctx.hasher = std::make_unique<gost94::Hasher>(static_cast<const uint8_t*>(block),
                                                  static_cast<const uint8_t*>(iv));
    return ERROR_SUCCESS;
}

DWORD HashAppend(Context& ctx, const void* data, DWORD length) {
    if (!ctx.hasher || ctx.hasher->finished()) return ERROR_INVALID_STATE;
    if (data == nullptr && length != 0) return ERROR_INVALID_PARAMETER;
    ctx.hasher->update(data, length);
    return ERROR_SUCCESS;
}

DWORD HashFinish(Context& ctx, void* out, DWORD outLength) {
    if (!ctx.hasher || ctx.hasher->finished()) return ERROR_INVALID_STATE;
    if (out == nullptr) return ERROR_INVALID_PARAMETER;
    if (outLength < VR_GOST94_DIGEST_SIZE) return ERROR_INSUFFICIENT_BUFFER;
    ctx.hasher->final(static_cast<uint8_t*>(out));
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

DWORD WINAPI vrSetKey(DWORD algId, const void* algParams, DWORD keyLength, const void* /*keyData*/,
                      DWORD keyDataLength, HVRKEY* key) {
    return Guarded([&]() -> DWORD {
        if (key == nullptr) return ERROR_INVALID_PARAMETER;
        *key = nullptr;
        if (algId != VR_ALG_GOST_R_3411_94) return ERROR_NOT_SUPPORTED;
        // A hash key has no material; its length is that of the box block.
        if (algParams != nullptr || keyLength != VR_GOST94_PARAM_BLOCK_SIZE || keyDataLength != 0)
            return ERROR_INVALID_PARAMETER;
        *key = reinterpret_cast<HVRKEY>(Keys().Add(std::make_shared<Key>(Key{algId})));
        return ERROR_SUCCESS;
    });
}

DWORD WINAPI vrCreateContext(HVRKEY key, DWORD mode, HVRCONTEXT* context, const void* /*params*/,
                             DWORD paramsLength) {
    return Guarded([&]() -> DWORD {
        if (context == nullptr) return ERROR_INVALID_PARAMETER;
        *context = nullptr;
        if (!Keys().Find(reinterpret_cast<uintptr_t>(key))) return ERROR_INVALID_HANDLE;
        if (mode != VR_MODE_HASH) return ERROR_NOT_SUPPORTED;
        if (paramsLength != 0) return ERROR_INVALID_PARAMETER;
        // The context copies nothing it needs later from the key, so the key
        // may be destroyed right away.
        *context = reinterpret_cast<HVRCONTEXT>(Contexts().Add(std::make_shared<Context>()));
        return ERROR_SUCCESS;
    });
}

DWORD WINAPI vrDestroyKey(HVRKEY key) {
    return Guarded([&]() -> DWORD {
        return Keys().Remove(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

DWORD WINAPI vrDestroyContext(HVRCONTEXT context) {
    return Guarded([&]() -> DWORD {
        return Contexts().Remove(reinterpret_cast<uintptr_t>(context)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

DWORD WINAPI vrMakeAction(DWORD action, HVRCONTEXT context, const void* iv, DWORD ivLength, const void* data,
                          DWORD dataLength, void* out, DWORD outLength) {
    return Guarded([&]() -> DWORD {
        std::shared_ptr<Context> ctx = Contexts().Find(reinterpret_cast<uintptr_t>(context));
        if (!ctx) return ERROR_INVALID_HANDLE;
        std::lock_guard<std::mutex> guard(ctx->lock);
        switch (action) {
        case VR_ACTION_HASH_INIT:
            return HashInit(*ctx, iv, ivLength, data, dataLength);
        case VR_ACTION_HASH_APPEND:
            return HashAppend(*ctx, data, dataLength);
        case VR_ACTION_HASH_FINISH:
            return HashFinish(*ctx, out, outLength);
        default:
            return ERROR_NOT_SUPPORTED;
        }
    });
}

DWORD WINAPI vrSetNameKey(const wchar_t*, HVRKEY) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrGetKey(HVRKEY, void*, DWORD*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrDeleteNameKey(const wchar_t*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrGetNameKey(const wchar_t*, HVRKEY*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrGenerateKey(DWORD, DWORD, HVRKEY*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrSetNameData(const wchar_t*, const void*, DWORD) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrDeleteNameData(const wchar_t*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrDestroyNameData(HVRDATA) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrGetData(HVRDATA, void*, DWORD*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrGetNameData(const wchar_t*, HVRDATA*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrSetSecurity(const wchar_t*, PSECURITY_DESCRIPTOR) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrDuplicateKeyHandle(HVRKEY, HVRKEY*) { return ERROR_NOT_SUPPORTED; }
DWORD WINAPI vrCryptoInitialize(DWORD) { return ERROR_NOT_SUPPORTED; }

}  // extern "C"
