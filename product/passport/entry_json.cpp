#include "entry_json.h"

#include "text_escape.h"

namespace passport {

std::string json_identity(const SesReader& reader) {
    const Identity& id = reader.identity();
    std::string out = "{\"file\":" + json_string(reader.name()) + ",\"uniqueId\":" + json_string(id.uniqueId) +
                      ",\"dateGenerated\":" + json_string(id.dateGenerated) + ",\"sid\":" + json_string(id.sid) +
                      ",\"computer\":{";
    // The computer's values keep the names the document gives them.
    for (size_t i = 0; i < id.computer.size(); ++i)
        out += (i ? "," : "") + json_string(id.computer[i].first) + ":" + json_string(id.computer[i].second);
    return out + "}}";
}

std::string json_field(const EntryField& field, const Entry& entry) {
    // The reader has checked the size is a decimal that fits 64 bits.
    if (field.member == &Entry::size) return std::to_string(entry.sizeValue);
    return json_string(entry.*field.member);
}

std::string json_entry(const Entry& entry) {
    std::string out = "{";
    const char* separator = "";
    for (const EntryField& field : entry_fields()) {
        out += separator + std::string("\"") + field.key + "\":" + json_field(field, entry);
        separator = ",";
    }
    return out + "}";
}

} // namespace passport
