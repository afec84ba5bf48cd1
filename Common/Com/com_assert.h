#pragma once
#include <windows.h>

namespace Com {

// Raises 0xE6240002 naming the class when a COM object could not be made.
void AssertObjectCreated(HRESULT hr, REFCLSID clsid);

} // namespace Com
