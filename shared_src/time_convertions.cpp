#include "time_convertions.h"

#include "vrbase/vr_error.h"

#include <cwchar>

namespace {

const wchar_t kIsoFormat[] = L"%04hu-%02hu-%02huT%02hu:%02hu:%02hu.%03huZ";

FILETIME to_filetime(const SYSTEMTIME& time, const wchar_t* function) {
    FILETIME ft;
    if (!::SystemTimeToFileTime(&time, &ft)) VR_RAISE_LAST_ERROR(function);
    return ft;
}

unsigned long long as_u64(const FILETIME& ft) {
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

} // namespace

std::wstring convert_time_to_iso_str(const SYSTEMTIME& t) {
    wchar_t buf[sizeof(kIsoFormat) / sizeof(wchar_t) * 4 + 5];
    const unsigned short zero = 0;  // milliseconds are always written as 000
    swprintf(buf, sizeof(buf) / sizeof(buf[0]), kIsoFormat, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
             zero);
    return buf;
}

std::wstring convert_time_to_iso_str(const FILETIME& time) {
    SYSTEMTIME st;
    if (!::FileTimeToSystemTime(&time, &st)) VR_RAISE_LAST_ERROR(L"convert_time_to_iso_str");
    return convert_time_to_iso_str(st);
}

std::wstring get_current_time_iso_str() {
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    return convert_time_to_iso_str(now);
}

SYSTEMTIME convert_iso_str_2_time(const std::wstring& text) {
    SYSTEMTIME t{};
    int fields = swscanf(text.c_str(), kIsoFormat, &t.wYear, &t.wMonth, &t.wDay, &t.wHour, &t.wMinute, &t.wSecond,
                         &t.wMilliseconds);
    if (fields < 7) VR_RAISE(ERROR_INVALID_PARAMETER, L"convert_iso_str_2_time");
    return repair_systemtime(t);
}

SYSTEMTIME repair_systemtime(const SYSTEMTIME& time) {
    FILETIME ft = to_filetime(time, L"repair_systemtime");
    SYSTEMTIME repaired;
    if (!::FileTimeToSystemTime(&ft, &repaired)) VR_RAISE_LAST_ERROR(L"repair_systemtime");
    return repaired;
}

int compare_system_time(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    FILETIME fa = to_filetime(a, L"compare_system_time"), fb = to_filetime(b, L"compare_system_time");
    return ::CompareFileTime(&fa, &fb);
}

unsigned long long get_system_time_diff(const SYSTEMTIME& a, const SYSTEMTIME& b, int& sign) {
    unsigned long long ua = as_u64(to_filetime(a, L"get_system_time_diff"));
    unsigned long long ub = as_u64(to_filetime(b, L"get_system_time_diff"));
    sign = compare_system_time(a, b);
    return ua > ub ? ua - ub : ub - ua;
}

SYSTEMTIME get_empty_system_time() {
    SYSTEMTIME t{};
    t.wYear = 1601;
    t.wMonth = 1;
    t.wDay = 1;
    return t;
}

bool is_empty_system_time(const SYSTEMTIME& time) { return compare_system_time(time, get_empty_system_time()) == 0; }
