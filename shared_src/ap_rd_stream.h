#pragma once
// Read streams: how texts travel between the management agent and the
// proxy. The layouts are the agent's and must not change.
#include <windows.h>
#include <stddef.h>
#include <string>

enum : DWORD {
    VR_RDSTREAM_TEXT_SIZED = 1,  // Size bytes of UTF-16, NUL not guaranteed
    VR_RDSTREAM_TEXT = 2,        // NUL-terminated UTF-16
    VR_RDSTREAM_UTF8_FILE = 3,   // NUL-terminated path of a UTF-8 file
};

#pragma pack(push, 1)
struct VR_RDSTREAM_DATA {
    DWORD Type;
    const void* Data;
    DWORD Size;  // bytes
};
#pragma pack(pop)
static_assert(sizeof(VR_RDSTREAM_DATA) == 16 && offsetof(VR_RDSTREAM_DATA, Data) == 4 &&
                  offsetof(VR_RDSTREAM_DATA, Size) == 12,
              "the agent's stream record");

struct IVRReadStream {
    HRESULT(__stdcall* Free)(IVRReadStream* self);
    HRESULT(__stdcall* Read)(IVRReadStream* self, void* buffer, DWORD size, DWORD* readCount);
    HRESULT(__stdcall* GetInternalData)(IVRReadStream* self, VR_RDSTREAM_DATA* data);
};

// The module's own stream over a copy of a text; the agent frees it with
// Free.
class CReadStreamString : public IVRReadStream {
public:
    explicit CReadStreamString(const std::wstring& text);
    CReadStreamString(const CReadStreamString&) = delete;
    CReadStreamString& operator=(const CReadStreamString&) = delete;

    HRESULT Read(void* buffer, DWORD size, DWORD* readCount);
    HRESULT GetInternalData(VR_RDSTREAM_DATA* data);

private:
    static HRESULT __stdcall FreeEntry(IVRReadStream* self);
    static HRESULT __stdcall ReadEntry(IVRReadStream* self, void* buffer, DWORD size, DWORD* readCount);
    static HRESULT __stdcall GetInternalDataEntry(IVRReadStream* self, VR_RDSTREAM_DATA* data);

    std::wstring m_text;
    size_t m_position = 0;  // bytes
};

// The whole text of any stream the agent passes; raises on failure.
std::wstring get_wstrig_4m_rdstream(IVRReadStream* stream);

// The whole content of a UTF-8 file, widened; raises on failure.
std::wstring read_utf8_file(const std::wstring& path);
