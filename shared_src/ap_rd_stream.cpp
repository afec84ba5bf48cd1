#include "ap_rd_stream.h"

#include "file_helpers.h"
#include "path_ops.h"
#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace VrBase;

CReadStreamString::CReadStreamString(const std::wstring& text) : m_text(text) {
    IVRReadStream::Free = &FreeEntry;
    IVRReadStream::Read = &ReadEntry;
    IVRReadStream::GetInternalData = &GetInternalDataEntry;
}

HRESULT CReadStreamString::Read(void* buffer, DWORD size, DWORD* readCount) {
    const wchar_t* const fn = L"CReadStreamString::Read";
    CTraceFuncInOut inOut(fn);
    return GuardHResultOf(fn, [&]() -> HRESULT {
        if (!buffer) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pData", L"NULL");
        if (!readCount) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pReadCount", L"NULL");
        std::memset(buffer, 0, size);
        const size_t total = (m_text.size() + 1) * sizeof(wchar_t);
        if (m_position >= total) {
            *readCount = 0;
            return S_FALSE;
        }
        const size_t n = std::min<size_t>(total - m_position, size);
        std::memcpy(buffer, reinterpret_cast<const BYTE*>(m_text.c_str()) + m_position, n);
        m_position += n;
        *readCount = static_cast<DWORD>(n);
        return n < size ? S_FALSE : S_OK;
    });
}

HRESULT CReadStreamString::GetInternalData(VR_RDSTREAM_DATA* data) {
    const wchar_t* const fn = L"CReadStreamString::GetInternalData";
    CTraceFuncInOut inOut(fn);
    CSehCatcher seh;
    CRTLTranslator rtl;
    return GuardHResultOf(fn, [&]() -> HRESULT {
        VR_TRACE(TL_INFO, fn, L">>");
        if (!data) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pData", L"NULL");
        data->Type = VR_RDSTREAM_TEXT;
        data->Data = m_text.c_str();
        data->Size = static_cast<DWORD>((m_text.size() + 1) * sizeof(wchar_t));
        VR_TRACE(TL_INFO, fn, L"<<");
        return S_OK;
    });
}

HRESULT __stdcall CReadStreamString::FreeEntry(IVRReadStream* self) {
    if (!self) return E_POINTER;
    delete static_cast<CReadStreamString*>(self);
    return S_OK;
}

HRESULT __stdcall CReadStreamString::ReadEntry(IVRReadStream* self, void* buffer, DWORD size, DWORD* readCount) {
    if (!self) return E_POINTER;
    return static_cast<CReadStreamString*>(self)->Read(buffer, size, readCount);
}

HRESULT __stdcall CReadStreamString::GetInternalDataEntry(IVRReadStream* self, VR_RDSTREAM_DATA* data) {
    if (!self) return E_POINTER;
    return static_cast<CReadStreamString*>(self)->GetInternalData(data);
}

std::wstring read_utf8_file(const std::wstring& path) {
    const wchar_t* const fn = L"read_utf8_file";
    unique_hfile file(::CreateFileW(long_path(full_path(path)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) VR_RAISE_LAST_ERROR(fn);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) VR_RAISE_LAST_ERROR(fn);
    if (size.QuadPart > 0x7FFFFFFF) VR_RAISE(ERROR_FILE_TOO_LARGE, fn);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && !::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        VR_RAISE_LAST_ERROR(fn);
    bytes.resize(read);
    // A byte-order mark is no part of the text.
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    if (bytes.empty()) return std::wstring();
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (chars <= 0) VR_RAISE_LAST_ERROR(fn);
    std::wstring text(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], chars);
    return text;
}

std::wstring get_wstrig_4m_rdstream(IVRReadStream* stream) {
    const wchar_t* const fn = L"get_wstrig_4m_rdstream";
    if (!stream) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pCommandParams", L"NULL");
    VR_RDSTREAM_DATA data{};
    const HRESULT hr = stream->GetInternalData(stream, &data);
    if (FAILED(hr)) VR_RAISE(static_cast<DWORD>(hr), fn);
    switch (data.Type) {
    case VR_RDSTREAM_TEXT_SIZED: {
        if (data.Size && !data.Data) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pData", L"NULL");
        // Two spare zero bytes end a text that carries no NUL of its own.
        std::vector<BYTE> copy(static_cast<size_t>(data.Size) + 2 + sizeof(wchar_t), 0);
        if (data.Size) std::memcpy(copy.data(), data.Data, data.Size);
        return std::wstring(reinterpret_cast<const wchar_t*>(copy.data()));
    }
    case VR_RDSTREAM_TEXT:
        if (!data.Data) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pData", L"NULL");
        return std::wstring(static_cast<const wchar_t*>(data.Data));
    case VR_RDSTREAM_UTF8_FILE:
        if (!data.Data) VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"pData", L"NULL");
        return read_utf8_file(static_cast<const wchar_t*>(data.Data));
    default:
        VR_RAISE_ITEM(static_cast<DWORD>(E_INVALIDARG), fn, L"read stream type", std::to_wstring(data.Type).c_str());
    }
}
