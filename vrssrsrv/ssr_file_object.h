#pragma once
// One collected file, and the result of a scan: every file by its full path.
#include <map>
#include <string>

struct _SSR_FILE_OBJECT_INFO {
    std::wstring description;      // FileDescription
    std::wstring type;             // file type text
    std::wstring file_version;     // FileVersion
    std::wstring company_name;     // CompanyName
    std::wstring product_name;     // ProductName
    std::wstring product_version;  // ProductVersion
    unsigned long long size = 0;   // end of file, bytes
    std::wstring change_time;      // ISO text of the change time
    std::wstring checksum;         // 64 upper-case hexadecimal digits
};

// Full path (no "\\?\") to record; ordinal order of the paths.
using FileObjectMap = std::map<std::wstring, _SSR_FILE_OBJECT_INFO>;
