#pragma once
// vrcc-ctl trace: shows, sets and clears the trace settings of one module or
// of all, and says where each module's file is written.
#include <string>
#include <vector>

namespace vrccctl {

extern const wchar_t kTraceUsage[];

// args[0] is "trace".
int Trace(const std::vector<std::wstring>& args);

} // namespace vrccctl
