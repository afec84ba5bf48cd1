// Opens a session through the client library found beside it and sends one
// message; the exit code is the error code, the output names its item.
#include "vr_srv.h"

#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <cstdio>
#include <cwchar>

VR_DEFINE_MODULE_TRACE(L"VrSrvProbe")

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && wcscmp(argv[1], L"last-error") == 0) {
        // The binding's end keeps the caller's last error.
        {
            CVrSrv srv;
            ::SetLastError(1234);
        }
        const DWORD after = ::GetLastError();
        std::printf("last error %lu\n", after);
        return after == 1234 ? 0 : 1;
    }
    try {
        CVrSrv srv;
        srv.OpenSession(L"@probe", 4098);
        DWORD size = 0;
        srv.SendMessageW(1, 1, 0, nullptr, &size, nullptr);
        return 0;
    } catch (VrBase::CVrError& e) {
        const wchar_t* item = e.Field(L"Export");
        std::printf("%ls\n", item ? item : L"");
        return static_cast<int>(e.GetCode());
    }
}
