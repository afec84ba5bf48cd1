#pragma once
// Times as the documents carry them: UTC, "YYYY-MM-DDThh:mm:ss.000Z".
#include <windows.h>
#include <string>

std::wstring convert_time_to_iso_str(const SYSTEMTIME& time);
std::wstring convert_time_to_iso_str(const FILETIME& time);
std::wstring get_current_time_iso_str();
// Raises 87 when fewer than the seven fields are there; impossible dates
// are refused by repair_systemtime.
SYSTEMTIME convert_iso_str_2_time(const std::wstring& text);
// Fills the day of week and refuses impossible dates.
SYSTEMTIME repair_systemtime(const SYSTEMTIME& time);
int compare_system_time(const SYSTEMTIME& a, const SYSTEMTIME& b);
// The later minus the earlier, in 100 ns units; sign as compare_system_time.
unsigned long long get_system_time_diff(const SYSTEMTIME& a, const SYSTEMTIME& b, int& sign);
SYSTEMTIME get_empty_system_time();
bool is_empty_system_time(const SYSTEMTIME& time);
