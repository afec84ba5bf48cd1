#pragma once
// Keys for values too long to index: two contents (or folders) with equal
// keys are taken as one, so the key is a cryptographic hash, never a
// checksum that could collide by accident.
#include <string>
#include <vector>

namespace fleet {

// SHA-256 of the parts, each prefixed by its length so no two different
// lists of parts give the same input; the first 16 bytes in hexadecimal.
std::string digest_of(const std::vector<const std::string*>& parts);

// The key of a file name as Windows compares it (see folded_name).
std::string folded_digest(const std::string& name);

} // namespace fleet
