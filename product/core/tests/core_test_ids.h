#pragma once
// Message ids the test peer answers, shared by the peer and the tests.
#include <windows.h>

namespace coretest {

constexpr DWORD kEcho = 0x7E570001;        // reply = request data; 122 with the size when it does not fit
constexpr DWORD kWhoAmI = 0x7E570002;      // reply = L"admin=<0|1>;user=<SID>" of the routine's thread token
constexpr DWORD kBig = 0x7E570003;         // data = size N; reply = N pattern bytes, 122 with N when too small
constexpr DWORD kTooSmall111 = 0x7E570004;  // like kBig, but answers "too small" with 111
constexpr DWORD kHang = 0x7E570005;        // signals "<tag>-busy", then waits for "<tag>-stop"
constexpr DWORD kNote = 0x7E570006;        // posted: counted, data kept
constexpr DWORD kNotes = 0x7E570007;       // reply = count of kNote posts (4 bytes) then the last one's data
constexpr DWORD kTokenLevel = 0x7E570008;  // reply = impersonation level of the routine's thread token (4 bytes)
constexpr DWORD kUnsubscribed = 0x7E5700FF;  // never subscribed

inline BYTE Pattern(DWORD i) { return static_cast<BYTE>(i * 7 + 3); }

} // namespace coretest
