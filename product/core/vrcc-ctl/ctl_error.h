#pragma once
// How vrcc-ctl's commands fail: a text for the administrator and the code to
// exit with. A usage error prints as one line without a code.
#include <windows.h>
#include <string>

namespace vrccctl {

struct CtlError {
    DWORD code;
    std::wstring text;
};

[[noreturn]] inline void Fail(DWORD code, const std::wstring& text) { throw CtlError{code, text}; }

// ARGUMENT: WHY, exit code 87.
[[noreturn]] inline void BadArgument(const std::wstring& argument, const std::wstring& why) {
    throw CtlError{ERROR_INVALID_PARAMETER, argument + L": " + why};
}

} // namespace vrccctl
