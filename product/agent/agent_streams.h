#pragma once
// What the agent hands the component and what it gets back: its own read
// streams, and owners that give results back through the interface's calls.
#include "component_proxy.h"

#include <string>

// A stream of the agent's own: a text (type 2) or a UTF-8 file's path
// (type 3). Lives on the agent's stack; Free only forgets it.
class CAgentStream : public IVRReadStream {
public:
    CAgentStream(DWORD type, std::wstring text);
    CAgentStream(const CAgentStream&) = delete;
    CAgentStream& operator=(const CAgentStream&) = delete;

private:
    static HRESULT __stdcall FreeEntry(IVRReadStream* self);
    static HRESULT __stdcall ReadEntry(IVRReadStream* self, void* buffer, DWORD size, DWORD* readCount);
    static HRESULT __stdcall GetInternalDataEntry(IVRReadStream* self, VR_RDSTREAM_DATA* data);

    DWORD m_type;
    std::wstring m_text;
    size_t m_position = 0;
};

// A result stream of the component, released with its own Free.
class CResultStream {
public:
    CResultStream() = default;
    ~CResultStream() {
        if (m_stream) m_stream->Free(m_stream);
    }
    CResultStream(const CResultStream&) = delete;
    CResultStream& operator=(const CResultStream&) = delete;
    IVRReadStream** put() { return &m_stream; }
    explicit operator bool() const { return m_stream != nullptr; }
    // The whole text, read through the stream's Read.
    std::wstring ReadAll();

private:
    IVRReadStream* m_stream = nullptr;
};

// A text of the component, released with FreeMemory.
class CComponentText {
public:
    explicit CComponentText(IVRESComponentProxy* component) : m_component(component) {}
    ~CComponentText() {
        if (m_text) m_component->FreeMemory(m_component, m_text);
    }
    CComponentText(const CComponentText&) = delete;
    CComponentText& operator=(const CComponentText&) = delete;
    wchar_t** put() { return &m_text; }
    const wchar_t* get() const { return m_text ? m_text : L""; }

private:
    IVRESComponentProxy* m_component;
    wchar_t* m_text = nullptr;
};
