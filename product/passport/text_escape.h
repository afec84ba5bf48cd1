#pragma once
// Document texts made safe for each kind of output.
#include <string>

namespace passport {

// As it stands when it holds no control character and does not start with
// a quote; otherwise as quoted_text, so a reader can always tell the two
// apart and Windows paths keep their single backslashes.
std::string plain_text(const std::string& text);
// Quoted, with \\, \", \n, \t, \r and \xNN: one line, read back one way.
std::string quoted_text(const std::string& text);
// For messages that quote a document: controls and bytes that are not
// UTF-8 as \xNN, so nothing reaches a terminal raw.
std::string terminal_text(const std::string& text);
// A JSON string literal, quotes included.
std::string json_string(const std::string& text);
// One CSV field: quoted when it holds a separator, a quote or a line break;
// a value a spreadsheet would take for a formula (a file's version text
// "=cmd|..." or "+1") gets a leading apostrophe, the spreadsheets' own mark
// of text, so opening the table runs nothing a document chose.
std::string csv_cell(const std::string& text);
// Text for HTML content and attribute values.
std::string html_text(const std::string& text);

} // namespace passport
