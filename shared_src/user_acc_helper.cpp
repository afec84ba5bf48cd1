#include "user_acc_helper.h"

#include "vrbase/vr_error.h"

#include <windows.h>

bool IsUserLocalAdmin() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) VR_RAISE_LAST_ERROR(L"IsUserLocalAdmin");
    BOOL member = FALSE;
    if (!::CheckTokenMembership(nullptr, sid, &member)) VR_RAISE_LAST_ERROR(L"IsUserLocalAdmin");
    return member != FALSE;
}
