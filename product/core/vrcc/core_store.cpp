#include "core_store.h"

#include "core_wire.h"
#include "vrbase/scope.h"
#include "vrbase/vr_error.h"
#include "vrsrvapi.h"

#include <cstring>

namespace vrcc {
namespace {

// Absent keys are normal here: a null key reads as empty.
VrBase::unique_hkey OpenForRead(const wchar_t* path) {
    VrBase::unique_hkey key;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) VR_RAISE(static_cast<DWORD>(rc), L"vrcc::OpenForRead");
    return key;
}

VrBase::unique_hkey OpenForWrite(const wchar_t* path) {
    VrBase::unique_hkey key;
    LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(),
                                nullptr);
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"vrcc::OpenForWrite");
    return key;
}

bool ReadString(HKEY key, const wchar_t* name, std::wstring& value) {
    if (!key) return false;
    DWORD type = 0, size = 0;
    LONG rc = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"vrcc::ReadString");
    if (type != REG_SZ && type != REG_EXPAND_SZ) VR_RAISE(ERROR_DATATYPE_MISMATCH, L"vrcc::ReadString");
    std::wstring buf(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    rc = ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&buf[0]), &size);
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"vrcc::ReadString");
    buf.resize(wcsnlen(buf.c_str(), size / sizeof(wchar_t)));
    if (type == REG_EXPAND_SZ) {
        wchar_t expanded[MAX_PATH * 4];
        DWORD n = ::ExpandEnvironmentStringsW(buf.c_str(), expanded, MAX_PATH * 4);
        if (n > 0 && n <= MAX_PATH * 4) buf = expanded;
    }
    value = buf;
    return true;
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD& value) {
    if (!key) return false;
    DWORD type = 0, size = sizeof value;
    return ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

void WriteString(HKEY key, const std::wstring& name, const std::wstring& value) {
    LONG rc = ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"vrcc::WriteString");
}

} // namespace

std::wstring DefaultJournalPath() {
    wchar_t buf[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH);
    std::wstring base = (n > 0 && n < MAX_PATH) ? std::wstring(buf, n) : L"C:\\ProgramData";
    return base + L"\\Varnel\\core\\events.journal";
}

CoreParameters ReadCoreParameters() {
    CoreParameters p;
    VrBase::unique_hkey key = OpenForRead(kParametersKey);
    DWORD v;
    if (ReadDword(key.get(), L"ReplyTimeoutMs", v) && v >= 100 && v <= 24u * 3600 * 1000) p.replyTimeoutMs = v;
    if (ReadDword(key.get(), L"MaxConnections", v) && v >= 4 && v <= 4096) p.maxConnections = v;
    if (!ReadString(key.get(), L"JournalPath", p.journalPath) || p.journalPath.empty())
        p.journalPath = DefaultJournalPath();
    return p;
}

std::wstring ReadPolicySection(const std::wstring& section) {
    VrBase::unique_hkey key = OpenForRead(kPolicyKey);
    std::wstring text;
    ReadString(key.get(), section.c_str(), text);
    return text;
}

std::vector<std::wstring> PolicySections() {
    std::vector<std::wstring> names;
    VrBase::unique_hkey key = OpenForRead(kPolicyKey);
    if (!key) return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD chars = 16384;
        LONG rc = ::RegEnumValueW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) VR_RAISE(static_cast<DWORD>(rc), L"vrcc::PolicySections");
        names.emplace_back(name, chars);
    }
    return names;
}

void WritePolicySection(const std::wstring& section, const std::wstring& text) {
    VrBase::unique_hkey key = OpenForWrite(kPolicyKey);
    WriteString(key.get(), section, text);
}

DWORD DeletePolicySection(const std::wstring& section) {
    VrBase::unique_hkey key = OpenForRead(kPolicyKey);
    if (!key) return ERROR_FILE_NOT_FOUND;
    key = OpenForWrite(kPolicyKey);
    LONG rc = ::RegDeleteValueW(key.get(), section.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) VR_RAISE(static_cast<DWORD>(rc), L"vrcc::DeletePolicySection");
    return static_cast<DWORD>(rc);
}

const std::vector<std::wstring>& ComputerFields() {
    static const std::vector<std::wstring> fields = {L"Department",          L"AutomationSystem", L"Location",
                                                     L"SerialNumber",        L"Type",             L"ResponsibleEmployee",
                                                     L"DBMS"};
    return fields;
}

std::wstring CanonicalComputerField(const std::wstring& name) {
    for (const auto& f : ComputerFields())
        if (::CompareStringOrdinal(f.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) return f;
    return std::wstring();
}

std::vector<BYTE> ComputerRecord() {
    VR_COMPUTER_INFO_1 record{};
    WCHAR* slots[] = {record.Department, record.AutomationSystem, record.Location, record.SerialNumber,
                      record.Type,       record.ResponsibleEmployee, record.DBMS};
    VrBase::unique_hkey key = OpenForRead(kComputerKey);
    for (size_t i = 0; i < ComputerFields().size(); ++i) {
        std::wstring value;
        if (!ReadString(key.get(), ComputerFields()[i].c_str(), value)) continue;
        value = value.substr(0, VR_COMPUTER_FIELD_CHARS - 1);
        std::memcpy(slots[i], value.c_str(), value.size() * sizeof(WCHAR));
    }
    const BYTE* p = reinterpret_cast<const BYTE*>(&record);
    return std::vector<BYTE>(p, p + sizeof record);
}

void WriteComputerField(const std::wstring& field, const std::wstring& value) {
    VrBase::unique_hkey key = OpenForWrite(kComputerKey);
    WriteString(key.get(), field, value);
}

} // namespace vrcc
