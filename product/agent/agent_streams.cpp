#include "agent_streams.h"

#include <algorithm>
#include <cstring>
#include <vector>

CAgentStream::CAgentStream(DWORD type, std::wstring text) : m_type(type), m_text(std::move(text)) {
    IVRReadStream::Free = &FreeEntry;
    IVRReadStream::Read = &ReadEntry;
    IVRReadStream::GetInternalData = &GetInternalDataEntry;
}

HRESULT __stdcall CAgentStream::FreeEntry(IVRReadStream* self) { return self ? S_OK : E_POINTER; }

HRESULT __stdcall CAgentStream::ReadEntry(IVRReadStream* self, void* buffer, DWORD size, DWORD* readCount) {
    if (!self) return E_POINTER;
    if (!buffer || !readCount) return E_INVALIDARG;
    auto* s = static_cast<CAgentStream*>(self);
    const size_t total = (s->m_text.size() + 1) * sizeof(wchar_t);
    const size_t n = std::min<size_t>(total - s->m_position, size);
    std::memcpy(buffer, reinterpret_cast<const BYTE*>(s->m_text.c_str()) + s->m_position, n);
    s->m_position += n;
    *readCount = static_cast<DWORD>(n);
    return n < size ? S_FALSE : S_OK;
}

HRESULT __stdcall CAgentStream::GetInternalDataEntry(IVRReadStream* self, VR_RDSTREAM_DATA* data) {
    if (!self) return E_POINTER;
    if (!data) return E_INVALIDARG;
    auto* s = static_cast<CAgentStream*>(self);
    data->Type = s->m_type;
    data->Data = s->m_text.c_str();
    data->Size = static_cast<DWORD>((s->m_text.size() + 1) * sizeof(wchar_t));
    return S_OK;
}

std::wstring CResultStream::ReadAll() {
    std::vector<BYTE> bytes;
    BYTE chunk[4096];
    for (;;) {
        DWORD got = 0;
        const HRESULT hr = m_stream->Read(m_stream, chunk, sizeof(chunk), &got);
        if (FAILED(hr)) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (hr == S_FALSE) break;
    }
    bytes.resize(bytes.size() + sizeof(wchar_t), 0);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()));
}
