#pragma once
// The computer's name and SID, the caller's SID, and SID text forms.
#include <windows.h>
#include <string>
#include <vector>

std::wstring query_host_name(COMPUTER_NAME_FORMAT format);
// The computer account's SID as text; raises E_FAIL when none is found.
std::wstring query_host_sid();
// The account the thread runs under: its impersonation token, else the
// process token.
std::vector<BYTE> get_current_user_sid();
std::wstring get_StrSID_4m_SID(const void* sid);
std::vector<BYTE> get_SID_4m_str_SID(const std::wstring& text);

// Directory mode: "srvName" and "DomainName" of the LDS key both set; read
// once per process.
bool is_directory_mode();
// Forgets the mode read, so a test that sets the LDS values sees them.
void reset_directory_mode_for_tests();
