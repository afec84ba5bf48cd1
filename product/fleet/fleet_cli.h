#pragma once
#include <string>
#include <vector>

namespace fleet {

// The whole tool: 0 done (nothing found), 1 deviations or changes found,
// 2 trouble (a bad argument, store or passport), with the reason on stderr.
int run_cli(const std::vector<std::string>& args);

} // namespace fleet
