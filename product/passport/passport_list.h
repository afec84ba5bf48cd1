#pragma once
// Every entry of one document, as it is read: text for a console, CSV for
// a spreadsheet, JSON for programs. Memory does not grow with the entries.
#include <ostream>
#include <string>

namespace passport {

enum class ListForm { Text, Csv, Json };

// The number of entries written.
unsigned long long print_list(const std::string& path, ListForm form, std::ostream& out);

} // namespace passport
