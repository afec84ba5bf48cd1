// An agent of our own in a process of its own: it loads VrSSRProxy.dll by
// path the way an outside agent does (without the core client library held
// or linked), drives one call and says what it saw. Used where a fault could
// end the process or where process-wide state must start fresh.
//   proxy_probe.exe PROXY MODE
//     command NAME       InvokeCommand NAME; prints hr and the report
//     config-then-throw  SetConfiguration, Destroy, then a C++ throw
//     unload-then-throw  as above, and the DLL freed before the throw
//     load-loop N        N rounds of load, calls, Destroy and unload; prints
//                        the handles the process gained after the first
#include "component_proxy.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Text : IVRReadStream {
    std::wstring text;
    explicit Text(std::wstring t) : text(std::move(t)) {
        Free = [](IVRReadStream*) -> HRESULT { return S_OK; };
        Read = [](IVRReadStream*, void*, DWORD, DWORD*) -> HRESULT { return E_NOTIMPL; };
        GetInternalData = [](IVRReadStream* s, VR_RDSTREAM_DATA* r) -> HRESULT {
            auto* self = static_cast<Text*>(s);
            r->Type = VR_RDSTREAM_TEXT;
            r->Data = self->text.c_str();
            r->Size = static_cast<DWORD>((self->text.size() + 1) * 2);
            return S_OK;
        };
    }
};

std::wstring read_all(IVRReadStream* s) {
    std::vector<wchar_t> chunk(64);
    std::wstring text;
    DWORD got = 0;
    HRESULT hr;
    do {
        hr = s->Read(s, chunk.data(), static_cast<DWORD>(chunk.size() * sizeof(wchar_t)), &got);
        text.append(chunk.data(), got / sizeof(wchar_t));
    } while (hr == S_OK);
    s->Free(s);
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

int thrown_after(bool unload, HMODULE dll) {
    if (unload) ::FreeLibrary(dll);
    // Every handler the process holds sees this one first.
    try {
        throw 42;
    } catch (int) {
    }
    std::printf("survived\n");
    std::fflush(stdout);
    return 0;
}

// One round as an agent does it from load to unload.
bool round_trip(const wchar_t* path) {
    HMODULE dll = ::LoadLibraryW(path);
    if (!dll) return false;
    auto create = reinterpret_cast<PFN_CreateComponentProxy>(
        reinterpret_cast<void*>(::GetProcAddress(dll, "CreateComponentProxy")));
    IVRESComponentProxy* c = create ? create(L"ROZEDURI") : nullptr;
    if (!c) return false;
    wchar_t* name = nullptr;
    if (c->GetName(c, &name) == S_OK) c->FreeMemory(c, name);
    IVRReadStream* out = nullptr;
    Text params(L"x");
    c->InvokeCommand(c, L"Unknown", &params, L"probe", &out);
    if (out) out->Free(out);
    c->Destroy(c);
    return ::FreeLibrary(dll) != FALSE;
}

int load_loop(const wchar_t* path, int rounds) {
    if (!round_trip(path)) return 3;
    DWORD before = 0, after = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &before);
    for (int i = 1; i < rounds; ++i)
        if (!round_trip(path)) return 3;
    ::GetProcessHandleCount(::GetCurrentProcess(), &after);
    std::printf("handles gained=%ld\n", static_cast<long>(after) - static_cast<long>(before));
    return thrown_after(false, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 87;
    if (std::wstring(argv[2]) == L"load-loop" && argc == 4) return load_loop(argv[1], _wtoi(argv[3]));
    HMODULE dll = ::LoadLibraryW(argv[1]);
    if (!dll) return 126;
    auto create = reinterpret_cast<PFN_CreateComponentProxy>(
        reinterpret_cast<void*>(::GetProcAddress(dll, "CreateComponentProxy")));
    IVRESComponentProxy* c = create ? create(L"ROZEDURI") : nullptr;
    if (!c) return 2;
    const std::wstring mode = argv[2];
    if (mode == L"command" && argc == 4) {
        IVRReadStream* out = nullptr;
        HRESULT hr = c->InvokeCommand(c, argv[3], nullptr, L"probe", &out);
        std::printf("hr=0x%08lX\n", static_cast<unsigned long>(hr));
        if (out) std::printf("report=%ls\n", read_all(out).c_str());
        c->Destroy(c);
        return 0;
    }
    if (mode == L"config-then-throw" || mode == L"unload-then-throw") {
        Text data(L"<Settings/>");
        HRESULT hr = c->SetConfiguration(c, L"full", L"1", &data);
        std::printf("hr=0x%08lX\n", static_cast<unsigned long>(hr));
        std::fflush(stdout);
        c->Destroy(c);
        return thrown_after(mode == L"unload-then-throw", dll);
    }
    return 87;
}
