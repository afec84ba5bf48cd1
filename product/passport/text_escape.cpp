#include "text_escape.h"

#include <cstdio>

namespace passport {

namespace {

std::string hex_escape(unsigned char c, const char* format) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, c);
    return buffer;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t utf8_length(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len;
    unsigned long cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    else return 0;
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    // C1 controls act on terminals as the C0 ones do.
    if (cp >= 0x80 && cp <= 0x9F) return 0;
    return len;
}

} // namespace

std::string quoted_text(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (is_control(c)) out += hex_escape(c, "\\x%02X");
        else if (c == '"' || c == '\\') (out += '\\') += ch;
        else out += ch;
    }
    return out + "\"";
}

std::string plain_text(const std::string& text) {
    bool plain = text.empty() || text[0] != '"';
    for (size_t i = 0; plain && i < text.size(); ++i) plain = !is_control(static_cast<unsigned char>(text[i]));
    return plain ? text : quoted_text(text);
}

std::string terminal_text(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t len = utf8_length(text, i);
        if (len == 0 || (len == 1 && is_control(static_cast<unsigned char>(text[i])))) {
            out += hex_escape(static_cast<unsigned char>(text[i]), "\\x%02X");
            ++i;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

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

std::string csv_cell(const std::string& text) {
    std::string value = text;
    if (!value.empty() && (value[0] == '=' || value[0] == '+' || value[0] == '-' || value[0] == '@' ||
                           value[0] == '\t' || value[0] == '\r'))
        value.insert(0, 1, '\'');
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
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
