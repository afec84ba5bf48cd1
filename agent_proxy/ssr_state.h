#pragma once
// The scan service's state document: from the service while it runs, from
// the module's own copies while it starts or is stopped.
#include <windows.h>
#include <string>

enum : WORD {
    IDR_SSR_STATE_STARTING = 102,
    IDR_SSR_STATE_STOPPED = 103,
};

HRESULT get_ssr_state(std::wstring& document);
// The built-in document of that resource number, without byte-order mark.
std::wstring load_builtin_state(WORD resource);
