#pragma once
#include <string>

// A fresh GUID as 36 upper-case hexadecimal characters, 8-4-4-4-12, no braces.
std::wstring get_new_guid();
