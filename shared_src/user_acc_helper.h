#pragma once
// Whether the caller (the thread's impersonation token, else the process
// token) is a member of the local Administrators group; raises when the
// test itself fails.
bool IsUserLocalAdmin();
