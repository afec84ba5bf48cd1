#include "file_ver_helper.h"

#include "i18n/i18n.h"
#include "lang_helper.h"
#include "pe_version_resource.h"
#include "version_block.h"
#include "vrbase/scope.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

bool version_block_checked(const std::wstring& path, std::vector<BYTE>& block) {
    if (version_block_is_sound(block.data(), block.size())) return true;
    VR_TRACE(VrBase::TL_WARNING, L"get_version_info", L"query file <%ls> version block is malformed, ignored.",
             path.c_str());
    block.clear();
    return false;
}

// The block as the version functions copy it, read straight from the
// file: the sole version resource, in the 32-bit layout (as the functions
// tell the layouts apart), ending inside the resource. Their copy leaves
// zeroed room after the resource, and their queries may read into it (a
// root padded past its last child); the same room here keeps those reads
// inside the buffer and answering the same. They also mark the copy as
// theirs right after the block, so that is done here too. False when the
// platform must be asked.
bool read_sole_version_block(HANDLE file, const SoleVersionResource& sole, std::vector<BYTE>& block) {
    constexpr DWORD kHeader = 3 * sizeof(WORD);
    if (!sole.found || sole.size < kHeader) return false;
    std::vector<BYTE> bytes(2 * static_cast<size_t>(sole.size) + 4, 0);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(sole.offset);
    at.OffsetHigh = static_cast<DWORD>(sole.offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(file, bytes.data(), sole.size, &got, &at) || got != sole.size) return false;
    WORD length = 0;
    memcpy(&length, bytes.data(), sizeof(length));
    if (length > sole.size || bytes[4] >= ' ') return false;
    memcpy(bytes.data() + length, "FE2X", 4);
    block.swap(bytes);
    return true;
}

bool version_info(const std::wstring& path, std::vector<BYTE>& block, bool fromFile, HANDLE given = nullptr) {
    const wchar_t* const fn = L"get_version_info";
    block.clear();
    // Held with read sharing only, so the image checked is the image the
    // version functions then read.
    VrBase::unique_hfile opened;
    if (!given)
        opened.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    const HANDLE file = given ? given : opened ? opened.get() : nullptr;
    if (!file) {
        const DWORD error = ::GetLastError();
        // A file being written, such as a log, is only looked at: without an
        // image in it there is no version resource to read.
        if (error == ERROR_SHARING_VIOLATION) {
            VrBase::unique_hfile written(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (written && inspect_version_resource(written.get()) == VersionResourceState::None) return false;
        }
        VR_TRACE(VrBase::TL_ERROR, fn, L"query file <%ls> ver info size failed!", path.c_str());
        VR_RAISE(error, fn);
    }
    SoleVersionResource sole;
    const VersionResourceState state = inspect_version_resource(file, &sole);
    if (state == VersionResourceState::None) return false;
    if (state == VersionResourceState::Broken) {
        VR_TRACE(VrBase::TL_WARNING, fn, L"query file <%ls> version resource lies outside the file, ignored.",
                 path.c_str());
        return false;
    }

    if (fromFile && read_sole_version_block(file, sole, block)) return version_block_checked(path, block);
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        DWORD error = ::GetLastError();
        if (error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND) return false;
        VR_TRACE(VrBase::TL_ERROR, fn, L"query file <%ls> ver info size failed!", path.c_str());
        VR_RAISE(error, fn);
    }
    block.assign(size, 0);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        DWORD error = ::GetLastError();
        VR_TRACE(VrBase::TL_ERROR, fn, L"query file <%ls> ver info failed!", path.c_str());
        VR_RAISE(error, fn);
    }
    return version_block_checked(path, block);
}

} // namespace

bool get_version_info(const std::wstring& path, std::vector<BYTE>& block) { return version_info(path, block, true); }

bool get_version_info(const std::wstring& path, HANDLE file, std::vector<BYTE>& block) {
    return version_info(path, block, true, file);
}

bool get_version_info_from_platform(const std::wstring& path, std::vector<BYTE>& block) {
    return version_info(path, block, false);
}

VersionTranslation choose_translation(const VersionTranslation* entries, size_t count) {
    if (!entries || count == 0) return {1033, 1252};
    const CProductLang& product = CProductLang::instance();
    for (size_t i = 0; i < count; ++i)
        for (const auto& lang : product.table())
            if (LANGIDFROMLCID(lang.first) == entries[i].language) return entries[i];
    for (size_t i = count; i-- > 0;)
        if (entries[i].language == 1033) return entries[i];
    return entries[0];
}

VersionTranslation choose_translation(const std::vector<BYTE>& block) {
    void* data = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &data, &length) || !data)
        return {1033, 1252};
    // The length is the file's word: read no further than the block ends.
    const size_t extent = version_block_extent(block.data(), block.size());
    if (!lies_inside(block.data(), extent, data, 0)) return {1033, 1252};
    const size_t room = block.data() + extent - static_cast<const BYTE*>(data);
    const size_t count = std::min<size_t>(length, room) / sizeof(VersionTranslation);
    if (count == 0) return {1033, 1252};
    return choose_translation(static_cast<const VersionTranslation*>(data), count);
}

std::wstring query_version_string(const std::vector<BYTE>& block, const wchar_t* name,
                                  const VersionTranslation& translation) {
    const wchar_t* const fn = L"query_version_string";
    wchar_t subBlock[128];
    swprintf(subBlock, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation.language, translation.codePage, name);
    void* data = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), subBlock, &data, &length) || !data || length == 0) return std::wstring();
    // The length is the file's word: read no further than the block ends.
    const size_t extent = version_block_extent(block.data(), block.size());
    if (!lies_inside(block.data(), extent, data, 0)) return std::wstring();
    const size_t room = (block.data() + extent - static_cast<const BYTE*>(data)) / sizeof(wchar_t);
    std::wstring text(static_cast<const wchar_t*>(data), std::min<size_t>(length - 1, room));
    // Some resources count the terminator, some do not; never keep a NUL.
    text.erase(std::find(text.begin(), text.end(), L'\0'), text.end());

    // Control characters as the translation's own locale classifies them;
    // a language the system does not know is read as a file without a
    // translation table is.
    wchar_t localeName[128];
    const LCID language = ::LCIDToLocaleName(translation.language, localeName, 128, 0) ? translation.language : 1033;
    std::vector<WORD> types(text.size() + 1, 0);
    if (!text.empty() &&
        !::GetStringTypeExW(language, CT_CTYPE1, text.c_str(), static_cast<int>(text.size()), types.data()))
        VR_RAISE_LAST_ERROR(fn);
    std::wstring clean;
    clean.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(types[i] & C1_CNTRL)) clean += text[i];
    return clean;
}

std::wstring get_file_type_str(DWORD fileType, const std::wstring& path) {
    UINT id = 107;
    switch (fileType) {
    case VFT_APP: id = 101; break;
    case VFT_DLL: id = 102; break;
    case VFT_DRV: id = 103; break;
    case VFT_FONT: id = 104; break;
    case VFT_STATIC_LIB: id = 105; break;
    default: break;
    }
    std::wstring text = load_product_string(id);
    if (id == 107) {
        size_t slash = path.find_last_of(L'\\');
        std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
        size_t dot = name.rfind(L'.');
        if (dot != std::wstring::npos) text += L" (" + name.substr(dot) + L")";
    }
    return text;
}
