#pragma once
// Document texts made safe for each kind of output.
#include <string>

namespace passport {

// Control characters as \n, \t, \r or \xNN, so one value stays on one line.
std::string plain_text(const std::string& text);
// Quoted with plain_text's escapes, and \" for a quote.
std::string quoted_text(const std::string& text);
// A JSON string literal, quotes included.
std::string json_string(const std::string& text);
// Text for HTML content and attribute values.
std::string html_text(const std::string& text);

} // namespace passport
