#include "vol_ops.h"

#include "vrbase/process_value.h"

#include "i18n/i18n.h"
#include "path_ops.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <winioctl.h>
#include <winternl.h>
#include <cctype>
#include <cstring>

namespace {

using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using RtlInitUnicodeStringFn = VOID(NTAPI*)(PUNICODE_STRING, PCWSTR);

template <class F>
F ntdll_function(const char* name, const wchar_t* caller) {
    HMODULE ntdll = ::GetModuleHandleW(L"NTDLL");
    F f = ntdll ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(ntdll, name))) : nullptr;
    if (!f) VR_RAISE(ERROR_PROC_NOT_FOUND, caller);
    return f;
}

// Callers pass paths with or without "\\?\"; each call below wants its own form.
std::wstring without_long_prefix(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    return path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path;
}

// Attributes and reparse data of a path; false when it is no reparse point.
bool read_reparse_data(const std::wstring& given, std::vector<BYTE>& data, const wchar_t* caller) {
    const std::wstring path = without_long_prefix(given);
    DWORD attributes = ::GetFileAttributesW(long_path(path).c_str());
    VrBase::unique_hfile handle;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (::GetLastError() != ERROR_ACCESS_DENIED) VR_RAISE_LAST_ERROR(caller);
        // Refused by name (a DACL that denies the caller on the entry and
        // its folder): the open with backup intent answers a thread that
        // holds the backup privilege, as a scan's does.
        handle = open_reparse_by_ntcreate(path);
        FILE_BASIC_INFO basic{};
        if (!::GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof(basic)))
            VR_RAISE_LAST_ERROR(caller);
        attributes = basic.FileAttributes;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    if (!handle) handle = open_reparse_by_ntcreate(path);
    data.assign(4096, 0);
    for (;;) {
        DWORD returned = 0;
        if (::DeviceIoControl(handle.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                              static_cast<DWORD>(data.size()), &returned, nullptr)) {
            data.resize(returned);
            return true;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) VR_RAISE_LAST_ERROR(caller);
        data.assign(data.size() + 4096, 0);
    }
}

} // namespace

VrBase::unique_hfile open_reparse_by_ntcreate(const std::wstring& path) {
    const wchar_t* const fn = L"open_reparse_by_ntcreate";
    static const auto ntCreateFile = ntdll_function<NtCreateFileFn>("NtCreateFile", fn);
    static const auto rtlInitUnicodeString = ntdll_function<RtlInitUnicodeStringFn>("RtlInitUnicodeString", fn);
    const std::wstring ntName = L"\\??\\" + path;
    UNICODE_STRING name;
    rtlInitUnicodeString(&name, ntName.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ntCreateFile(&handle, SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, 1 /* FILE_OPEN */,
                                   0x200000 /* FILE_OPEN_REPARSE_POINT */ | 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */ |
                                       0x4000 /* FILE_OPEN_FOR_BACKUP_INTENT: a scan thread's privilege applies */,
                                   nullptr, 0);
    if (status < 0) VR_RAISE(static_cast<DWORD>(status), fn);
    if (iosb.Status < 0)
        VR_TRACE(VrBase::TL_ERROR, fn, L"op failed iosb status = 0x%X", static_cast<unsigned>(iosb.Status));
    return VrBase::unique_hfile(handle);
}

DWORD is_reparse_pnt(const std::wstring& path, bool& isReparse, DWORD& tag) {
    isReparse = false;
    tag = 0;
    return VrBase::GuardCode(L"is_reparse_pnt", [&]() -> DWORD {
        std::vector<BYTE> data;
        if (!read_reparse_data(path, data, L"is_reparse_pnt")) return 0;
        isReparse = true;
        if (data.size() >= sizeof(DWORD)) memcpy(&tag, data.data(), sizeof(DWORD));
        return 0;
    });
}

std::wstring mount_point_substitute_name(const BYTE* data, size_t size) {
    if (!data || size < 16) return std::wstring();
    DWORD tag;
    memcpy(&tag, data, sizeof(tag));
    if (tag != kMountPointTag) return std::wstring();
    USHORT offset, length;
    memcpy(&offset, data + 8, sizeof(offset));
    memcpy(&length, data + 10, sizeof(length));
    // Never trust lengths read from disk beyond the buffer we hold.
    if (static_cast<size_t>(16) + offset + length > size) return std::wstring();
    std::vector<wchar_t> name(length / sizeof(wchar_t) + 1, L'\0');
    memcpy(name.data(), data + 16 + offset, length);
    return std::wstring(name.data());
}

bool is_unnamed_volume_target(const std::wstring& substituteName, const VolumeSet& unnamed) {
    if (substituteName.size() < 4) return false;
    std::wstring win32 = L"\\\\?\\" + substituteName.substr(4);
    return unnamed.count(win32) != 0;
}

DWORD is_mount_pnt_2_unnamedvolume(const std::wstring& path, bool& isUnnamed, std::wstring& volumeName) {
    isUnnamed = false;
    volumeName.clear();
    return VrBase::GuardCode(L"is_mount_pnt_2_unnamedvolume", [&]() -> DWORD {
        std::vector<BYTE> data;
        if (!read_reparse_data(path, data, L"is_mount_pnt_2_unnamedvolume")) return 0;
        volumeName = mount_point_substitute_name(data.data(), data.size());
        if (volumeName.empty()) return 0;
        isUnnamed = is_unnamed_volume_target(volumeName, query_unnamed_volumes());
        return 0;
    });
}

std::vector<std::wstring> get_volumes_names() {
    DWORD needed = ::GetLogicalDriveStringsW(0, nullptr);
    if (needed == 0) VR_RAISE_LAST_ERROR(L"get_volumes_names");
    std::vector<wchar_t> buf(needed + 1, L'\0');
    DWORD n = ::GetLogicalDriveStringsW(static_cast<DWORD>(buf.size()), buf.data());
    if (n == 0 || n > buf.size()) VR_RAISE_LAST_ERROR(L"get_volumes_names");
    std::vector<std::wstring> roots;
    for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1) roots.emplace_back(p);
    return roots;
}

std::vector<std::wstring> get_local_fixed_drives() {
    std::vector<std::wstring> fixed;
    for (const std::wstring& root : get_volumes_names())
        if (::GetDriveTypeW(root.c_str()) == DRIVE_FIXED) fixed.push_back(root);
    return fixed;
}

VolumeSet query_unnamed_volumes() {
    VolumeSet named, unnamed;
    for (const std::wstring& root : get_volumes_names()) {
        wchar_t volume[260] = {};
        if (::GetVolumeNameForVolumeMountPointW(root.c_str(), volume, 260))
            named.insert(volume);
        else
            VR_TRACE(VrBase::TL_WARNING, L"query_unnamed_volumes", L"get volume guid name for mount poin <%ls> failed %d",
                     root.c_str(), static_cast<int>(::GetLastError()));
    }
    wchar_t volume[260] = {};
    HANDLE find = ::FindFirstVolumeW(volume, 260);
    if (find == INVALID_HANDLE_VALUE) return unnamed;
    VrBase::scope_exit close([&] { ::FindVolumeClose(find); });
    do {
        if (!named.count(volume)) unnamed.insert(volume);
        memset(volume, 0, sizeof(volume));
    } while (::FindNextVolumeW(find, volume, 260));
    return unnamed;
}

CPageFiles::CPageFiles() {
    VrBase::GuardVoid(L"CPageFiles::CPageFiles", [&] {
        CPrefferedProductLanguages languages;
        VrBase::unique_hkey key;
        LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager\\Memory Management",
                                  0, KEY_READ, key.put());
        if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"CPageFiles::CPageFiles");
        std::vector<wchar_t> buf(260);
        DWORD size = 0;
        do {
            buf.assign(buf.size() * 2, L'\0');
            size = static_cast<DWORD>((buf.size() - 2) * sizeof(wchar_t));
            rc = ::RegQueryValueExW(key.get(), L"ExistingPageFiles", nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()),
                                    &size);
        } while (rc == ERROR_MORE_DATA);
        if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"CPageFiles::CPageFiles");
        for (const wchar_t* p = buf.data(); *p; p += wcslen(p) + 1) {
            std::wstring entry(p);
            for (wchar_t& c : entry) c = static_cast<wchar_t>(towlower(c));
            m_entries.push_back(entry);
        }
    });
}

namespace {
VrBase::CProcessValue<CPageFiles>& page_files_value() {
    static VrBase::CProcessValue<CPageFiles> value([] { return CPageFiles(); });
    return value;
}
} // namespace

const CPageFiles& CPageFiles::instance() { return page_files_value().get(); }

void CPageFiles::reset_for_tests() { page_files_value().reset_for_tests(); }

bool CPageFiles::matches(const std::vector<std::wstring>& entries, const std::wstring& path) {
    std::wstring lower = path;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    for (const std::wstring& entry : entries) {
        size_t at = entry.find(lower);
        if (at != std::wstring::npos && at + lower.size() == entry.size()) {
            VR_TRACE(VrBase::TL_DETAIL, L"CPageFiles::is_pagefile", L"%ls", lower.c_str());
            return true;
        }
    }
    return false;
}

bool CPageFiles::is_pagefile(const std::wstring& path) const { return matches(m_entries, path); }
