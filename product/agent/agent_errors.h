#pragma once
// What vragent tells a person when a call of the component fails: what
// failed, on what, and what to do, in words, with the code after them.
#include <windows.h>
#include <string>

// What a failed call was about, for the words.
struct AgentFailureContext {
    std::wstring path;           // the file or folder it named
    std::wstring configuration;  // the configuration text it sent
};

// The scan service's state under the service control manager; 0 when it is
// not installed or cannot be asked.
struct AgentServiceStatus {
    DWORD state = 0;
    DWORD exitCode = 0;       // Win32 exit code of a stopped service
    DWORD serviceCode = 0;    // its own code when exitCode is 1066
    DWORD processId = 0;
};
AgentServiceStatus query_scan_service();

// The words for a failure code (an HRESULT or a Win32 code), without the
// code itself.
std::wstring agent_failure_words(HRESULT hr, const AgentFailureContext& context);

// "vragent: WHAT failed: WORDS (0xXXXXXXXX)" on standard error.
void print_agent_failure(const wchar_t* what, HRESULT hr, const AgentFailureContext& context);

// The scan service runs but has no session on the core yet: every request
// is answered 0x80070426 until it links (it polls the core every few seconds).
constexpr HRESULT kServiceNotLinked = static_cast<HRESULT>(0x80070426);
