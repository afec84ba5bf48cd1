// Child program of the binding's failure tests, run from a folder of its own
// where the test puts a broken provider, a good one or none.
//   crypto_probe hash        the destroy calls while unloaded, then one hash
//   crypto_probe retry SRC   a hash, then SRC copied in as the provider, a hash again
// Prints one line per step; the exit code is the last step's code.
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "vrbasecrypt/gost_r_3411_1994.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

VR_DEFINE_MODULE_TRACE(L"VrBaseCryptProbe")

namespace {

DWORD HashAbc() {
    try {
        GOST_R_3411_1994::CAccumulativeHash hash(nullptr, GOST_R_3411_1994::test_param_block());
        hash.Add("abc", 3);
        BYTE digest[GOST_R_3411_1994::HashSize];
        hash.Finish(digest, sizeof(digest));
        wprintf(L"hash %ls\n", GOST_R_3411_1994::checksum_text(digest).c_str());
        return 0;
    } catch (VrBase::CVrError& e) {
        wprintf(L"error 0x%08X %ls\n", static_cast<unsigned>(e.GetCode()), e.GetDescription());
        return e.GetCode();
    }
}

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH];
    std::wstring full(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
    return full.substr(0, full.find_last_of(L'\\') + 1);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_U8TEXT);
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"hash") {
        VrBase::CCryptoDll& dll = VrBase::CCryptoDll::Instance();
        wprintf(L"destroy %lu %lu %lu\n", dll.DestroyKey(nullptr), dll.DestroyContext(nullptr),
                dll.DestroyNameData(nullptr));
        return static_cast<int>(HashAbc());
    }
    if (mode == L"retry" && argc > 2) {
        HashAbc();
        if (!::CopyFileW(argv[2], (OwnFolder() + L"Vr5CryptoApi.dll").c_str(), FALSE)) {
            wprintf(L"copy failed %lu\n", ::GetLastError());
            return 1;
        }
        return static_cast<int>(HashAbc());
    }
    return 87;
}
