#pragma once
#include <string>

namespace VrBase {

// The folder of the running program, ending in a backslash: where the
// product's programs and DLLs lie side by side.
std::wstring ProgramFolder();

} // namespace VrBase
