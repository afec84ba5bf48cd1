#include "text_escape.h"

#include <cstdio>

namespace passport {

namespace {

std::string hex_escape(unsigned char c, const char* format) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, c);
    return buffer;
}

std::string escape_controls(const std::string& text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) out += hex_escape(c, "\\x%02X");
        else if (quotes && c == '"') out += "\\\"";
        else out += ch;
    }
    return out;
}

} // namespace

std::string plain_text(const std::string& text) { return escape_controls(text, false); }

std::string quoted_text(const std::string& text) { return "\"" + escape_controls(text, true) + "\""; }

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) out += hex_escape(c, "\\u%04X");
        else out += ch;
    }
    return out + "\"";
}

std::string html_text(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += ch;
        }
    }
    return out;
}

} // namespace passport
