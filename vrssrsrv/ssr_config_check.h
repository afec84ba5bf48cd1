#pragma once
// What a configuration document must be for the service to take it: the
// checks it runs before anything is stored. Tools that check a document
// before sending it link this same code.
#include <string>

// Raises the first fault: 3 for a missing element or attribute (the error
// names it), 87 for a value the service cannot use, 0xE6240001 for text
// that is not XML (with its line and position).
void check_full_config(const std::wstring& text);
