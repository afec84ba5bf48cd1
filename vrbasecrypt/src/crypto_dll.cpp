#include "vrbasecrypt/crypto_dll.h"

#include "vrbase/module_path.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cstring>

namespace VrBase {
namespace {

const wchar_t kLibraryName[] = L"Vr5CryptoApi.dll";

// Bound in this order; the indexes below follow it.
const char* const kExportNames[] = {
    "vrSetNameKey",     "vrMakeAction",      "vrDestroyContext", "vrSetKey",      "vrGetKey",
    "vrCreateContext",  "vrDeleteNameKey",   "vrDestroyKey",     "vrGetNameKey",  "vrGenerateKey",
    "vrSetNameData",    "vrDeleteNameData",  "vrDestroyNameData", "vrGetData",    "vrGetNameData",
    "vrSetSecurity",    "vrDuplicateKeyHandle", "vrCryptoInitialize",
};
enum {
    kMakeAction = 1,
    kDestroyContext = 2,
    kSetKey = 3,
    kCreateContext = 5,
    kDestroyKey = 7,
    kDestroyNameData = 12,
};

DWORD Result(DWORD code) {
    if (code == ERROR_DEVICE_NOT_CONNECTED) code = kErrCryptoDevice;
    ::SetLastError(code);
    return code;
}

} // namespace

static_assert(sizeof(kExportNames) / sizeof(kExportNames[0]) == 18, "one name per bound export");

CCryptoDll& CCryptoDll::Instance() {
    static CCryptoDll s_dll;
    return s_dll;
}

template <class F>
F CCryptoDll::Export(int index) const {
    // Through void(*)(): the one function type any other converts to cleanly.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(m_exports[index]));
}

void CCryptoDll::Initialize() {
    if (IsLoaded()) return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (IsLoaded()) return;

    // The provider beside the module that holds this binding, by full path;
    // a failure names that path.
    static const int s_here = 0;
    unique_hmodule module(LoadLibraryByPath(ModuleFolderOf(&s_here) + kLibraryName, kErrCryptoNotLoaded,
                                            L"CCryptoDll::Initialize"));
    FARPROC found[kExportCount];
    for (int i = 0; i < kExportCount; ++i) {
        found[i] = ::GetProcAddress(module.get(), kExportNames[i]);
        if (!found[i]) {
            const std::wstring name(kExportNames[i], kExportNames[i] + strlen(kExportNames[i]));
            VR_TRACE(TL_ERROR, L"CCryptoDll::Initialize", L"export <%ls> of <%ls> not found", name.c_str(),
                     kLibraryName);
            VR_RAISE_INSERTS(kErrExportMissing, L"CCryptoDll::Initialize", name.c_str(), nullptr);
        }
    }
    for (int i = 0; i < kExportCount; ++i) m_exports[i] = found[i];
    // Never freed: handles held by other process-wide objects may outlive
    // this one at exit.
    module.release();
    m_loaded.store(true, std::memory_order_release);
}

DWORD CCryptoDll::SetKey(DWORD algId, const void* algParams, DWORD keyLength, const void* keyData,
                         DWORD keyDataLength, HVRKEY* key) {
    if (!IsLoaded()) return Result(kErrCryptoNotLoaded);
    return Result(Export<decltype(&vrSetKey)>(kSetKey)(algId, algParams, keyLength, keyData, keyDataLength, key));
}

DWORD CCryptoDll::CreateContext(HVRKEY key, DWORD mode, HVRCONTEXT* context, const void* params,
                                DWORD paramsLength) {
    if (!IsLoaded()) return Result(kErrCryptoNotLoaded);
    return Result(Export<decltype(&vrCreateContext)>(kCreateContext)(key, mode, context, params, paramsLength));
}

DWORD CCryptoDll::MakeAction(DWORD action, HVRCONTEXT context, const void* iv, DWORD ivLength, const void* data,
                             DWORD dataLength, void* out, DWORD outLength) {
    if (!IsLoaded()) return Result(kErrCryptoNotLoaded);
    return Result(Export<decltype(&vrMakeAction)>(kMakeAction)(action, context, iv, ivLength, data, dataLength,
                                                               out, outLength));
}

DWORD CCryptoDll::DestroyKey(HVRKEY key) {
    if (!IsLoaded()) return 1;
    return Result(Export<decltype(&vrDestroyKey)>(kDestroyKey)(key));
}

DWORD CCryptoDll::DestroyContext(HVRCONTEXT context) {
    if (!IsLoaded()) return 1;
    return Result(Export<decltype(&vrDestroyContext)>(kDestroyContext)(context));
}

DWORD CCryptoDll::DestroyNameData(HVRDATA data) {
    if (!IsLoaded()) return 1;
    return Result(Export<decltype(&vrDestroyNameData)>(kDestroyNameData)(data));
}

} // namespace VrBase
