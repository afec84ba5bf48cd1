#pragma once
// The tool's commands, behind the program's entry; arguments in UTF-8.
#include <ostream>
#include <string>
#include <vector>

namespace passport {

// Exit codes, as diff has them.
enum ExitCode { kNoChange = 0, kChanges = 1, kTrouble = 2 };

int run_passport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace passport
