#pragma once
// What one document holds, read in one pass with bounded memory.
#include <ostream>
#include <string>

namespace passport {

void print_summary(const std::string& path, std::ostream& out);

} // namespace passport
