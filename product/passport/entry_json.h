#pragma once
// One JSON form of a document's identity and entries, for every command
// that writes JSON: camelCase keys, sizes as numbers.
#include "ses_reader.h"

#include <string>

namespace passport {

std::string json_identity(const SesReader& reader);
// One field's value: a number for the size, a string for the rest.
std::string json_field(const EntryField& field, const Entry& entry);
std::string json_entry(const Entry& entry);

} // namespace passport
