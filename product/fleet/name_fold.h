#pragma once
// File names as Windows compares them: without regard to case. Windows
// maps each UTF-16 unit through its upcase table; this folds the same way
// for the scripts its file names mostly use (ASCII, Latin-1, Latin
// Extended-A, Greek, Cyrillic), one character to one. Characters outside
// them, and bytes that are not UTF-8, stay as they are.
#include <string>

namespace fleet {

std::string folded_name(const std::string& utf8);

} // namespace fleet
