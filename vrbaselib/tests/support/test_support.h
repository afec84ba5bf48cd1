#pragma once
// Helpers shared by the test programs: scratch folders, registry values that
// are removed again, files read back, child processes.
#include "vrbase/scope.h"

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

#ifdef _MSC_VER
#define VR_NOINLINE __declspec(noinline)
#else
#define VR_NOINLINE __attribute__((noinline))
#endif

namespace vrtest {

// A fresh folder under the temporary folder, removed with its contents.
class TempDir {
public:
    explicit TempDir(const wchar_t* prefix = L"vrtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return m_path; }
    std::wstring file(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// Creates HKLM\<key> for the test and deletes the whole subtree afterwards,
// also when the test fails midway. Existing content is removed first.
class RegKeyScope {
public:
    explicit RegKeyScope(std::wstring key);
    ~RegKeyScope();
    RegKeyScope(const RegKeyScope&) = delete;
    RegKeyScope& operator=(const RegKeyScope&) = delete;
    void SetDword(const wchar_t* subkey, const wchar_t* name, DWORD value);
    void SetString(const wchar_t* subkey, const wchar_t* name, const std::wstring& value);

private:
    std::wstring m_key;
};

// Replaces one value of an existing HKLM key and puts the old one back.
class RegValueScope {
public:
    RegValueScope(std::wstring key, std::wstring name, DWORD type, const void* data, DWORD size);
    ~RegValueScope();
    RegValueScope(const RegValueScope&) = delete;
    RegValueScope& operator=(const RegValueScope&) = delete;

private:
    std::wstring m_key, m_name;
    bool m_had = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_old;
};

// Sets an environment variable of this process and restores it afterwards.
class EnvScope {
public:
    EnvScope(const wchar_t* name, const std::wstring& value);
    ~EnvScope();
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;

private:
    std::wstring m_name, m_old;
    bool m_had;
};

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
// Lines split at "\r\n", without the terminators; a last empty piece dropped.
std::vector<std::string> SplitLines(const std::string& text);
std::wstring ModuleFolder();  // folder of the running test program, with "\"

// CreateProcessW, tried again a few times: under Wine on a loaded machine a
// start now and then fails for a moment, and a test is about the child, not
// that. Raises, naming the last error, when every attempt failed.
PROCESS_INFORMATION StartProcess(const std::wstring& exe, std::wstring cmd, BOOL inherit, const wchar_t* folder,
                                 STARTUPINFOW& si);

// The code of the CVrError that f raises; 0 when it raises none.
DWORD ErrorCodeOf(const std::function<void()>& f);

// An impersonation token of this process's user with Administrators as
// deny-only: a non-administrator caller, made for the test.
VrBase::unique_handle MakeNonAdminToken();

// The calling thread impersonates the token until the scope ends.
class Impersonation {
public:
    explicit Impersonation(HANDLE token);
    ~Impersonation();
    Impersonation(const Impersonation&) = delete;
    Impersonation& operator=(const Impersonation&) = delete;
};

// Sends this module's trace (every level) to a file in the folder for the
// scope's life; the Trace key is removed and the trace reloaded afterwards.
class TraceToFolder {
public:
    explicit TraceToFolder(const std::wstring& folder);
    ~TraceToFolder();
    TraceToFolder(const TraceToFolder&) = delete;
    TraceToFolder& operator=(const TraceToFolder&) = delete;
    // What the module traced so far (its file is named after the module).
    std::string Read(const wchar_t* traceName) const;

private:
    std::wstring m_folder;
};

// A child program whose output (stdout and stderr) comes back on a pipe.
class CapturedChild {
public:
    // exe is a full path; folder, when given, is the child's current folder.
    CapturedChild(const std::wstring& exe, const std::wstring& args, const std::wstring& folder = std::wstring());
    HANDLE process() const { return m_process.get(); }
    HANDLE output() const { return m_reader.get(); }
    // Everything the child printed, then its real exit code.
    std::string ReadAll();
    DWORD WaitExit(DWORD timeoutMs = 60000);

private:
    VrBase::unique_handle m_process, m_reader;
};

// Runs a program beside the test program and returns its real exit code.
DWORD RunChild(const std::wstring& exeName, const std::wstring& args, DWORD timeoutMs = 120000);

// Makes link a Unix symbolic link to the folder target with the host's
// "ln -s" (Wine shows it as a folder that is a reparse point, as a user's
// junction would be on Windows); false where that cannot be done.
bool MakeUnixLink(const std::wstring& link, const std::wstring& target);

} // namespace vrtest
