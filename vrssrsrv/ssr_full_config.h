#pragma once
// Taking a whole configuration document: checked, stored, put in force.
#include <string>

// Raises when the document is rejected; nothing has changed then.
void accept_full_config(const std::wstring& text);
