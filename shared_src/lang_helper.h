#pragma once
// Strings of the program's own resources, in the product's language.
#include <windows.h>
#include <string>

// String resource id of the module (the program when null), in the first
// product language that has it, else English, else any language.
std::wstring load_product_string(UINT id, HMODULE module = nullptr);
