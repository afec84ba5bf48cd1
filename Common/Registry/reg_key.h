#pragma once
// Registry keys opened or created with the retry that a just-loaded hive
// needs, and the errors of value reads and writes.
#include "vrbase/scope.h"

#include <windows.h>

namespace reg {

VrBase::unique_hkey CreateKey(HKEY parent, const wchar_t* subkey, REGSAM access, DWORD options = 0,
                              SECURITY_ATTRIBUTES* security = nullptr);
VrBase::unique_hkey OpenKey(HKEY parent, const wchar_t* subkey, REGSAM access);

[[noreturn]] void ThrowValueReadError(const wchar_t* valueName, DWORD code);
[[noreturn]] void ThrowValueWriteError(const wchar_t* valueName, DWORD code);

} // namespace reg
