#include "pe_version_resource.h"

#include "vrbase/vr_error.h"

#include <algorithm>
#include <vector>

namespace {

constexpr DWORD kResourceDirectory = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr WORD kVersionType = 16;        // RT_VERSION
// A version block's own length is 16 bits; anything near this is hostile.
constexpr DWORD kMaxVersionResource = 0x100000;
// Files carry one version resource in a few languages; a directory that
// lists thousands would only make the check itself slow.
constexpr size_t kMaxVersionEntries = 256;

// The file's bytes at an offset; false when they are not all there.
class CImageReader {
public:
    explicit CImageReader(HANDLE file) : m_file(file) {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(file, &size)) VR_RAISE_LAST_ERROR(L"inspect_version_resource");
        m_size = static_cast<ULONGLONG>(size.QuadPart);
    }
    ULONGLONG size() const { return m_size; }
    bool read(ULONGLONG offset, void* out, DWORD bytes) const {
        if (offset > m_size || bytes > m_size - offset) return false;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(m_file, out, bytes, &got, &at)) VR_RAISE_LAST_ERROR(L"inspect_version_resource");
        return got == bytes;
    }

private:
    HANDLE m_file;
    ULONGLONG m_size = 0;
};

// The sections as the loader maps a data file: an RVA is found in the
// section whose raw data holds it. Offsets inside the resource directory
// count from its root.
class CResourceImage {
public:
    CResourceImage(const CImageReader& image, std::vector<IMAGE_SECTION_HEADER> sections, ULONGLONG root)
        : m_image(image), m_sections(std::move(sections)), m_root(root) {}

    // File offset of [rva, rva + bytes), or false when it leaves its
    // section's data or the file.
    bool locate(ULONGLONG rva, ULONGLONG bytes, ULONGLONG& offset) const {
        for (const auto& s : m_sections) {
            const ULONGLONG mapped = mapped_bytes(s);
            if (rva < s.VirtualAddress || rva - s.VirtualAddress >= mapped) continue;
            const ULONGLONG inside = rva - s.VirtualAddress;
            offset = s.PointerToRawData + inside;
            return bytes <= mapped - inside && offset <= m_image.size() && bytes <= m_image.size() - offset;
        }
        return false;
    }

    // The loader maps no more of a section's data than its virtual size.
    static ULONGLONG mapped_bytes(const IMAGE_SECTION_HEADER& s) {
        return s.Misc.VirtualSize ? std::min<ULONGLONG>(s.SizeOfRawData, s.Misc.VirtualSize) : s.SizeOfRawData;
    }

    // The entries of the directory at an offset from the root.
    bool directory(ULONGLONG relative, std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY>& entries) const {
        ULONGLONG offset = 0;
        IMAGE_RESOURCE_DIRECTORY header{};
        if (!locate(m_root + relative, sizeof(header), offset) || !m_image.read(offset, &header, sizeof(header)))
            return false;
        const DWORD count = static_cast<DWORD>(header.NumberOfNamedEntries) + header.NumberOfIdEntries;
        const ULONGLONG bytes = static_cast<ULONGLONG>(count) * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
        entries.resize(count);
        return count == 0 || (locate(m_root + relative + sizeof(header), bytes, offset) &&
                              m_image.read(offset, entries.data(), static_cast<DWORD>(bytes)));
    }

    bool data_entry(ULONGLONG relative, IMAGE_RESOURCE_DATA_ENTRY& data) const {
        ULONGLONG offset = 0;
        return locate(m_root + relative, sizeof(data), offset) && m_image.read(offset, &data, sizeof(data));
    }

private:
    const CImageReader& m_image;
    std::vector<IMAGE_SECTION_HEADER> m_sections;
    ULONGLONG m_root;
};

// Sections the loader would place differently from the reading above: raw
// data off its sector (the loader rounds the pointer down) or two sections
// over the same addresses (the later one wins). Such an image is not read.
bool sections_map_as_read(const std::vector<IMAGE_SECTION_HEADER>& sections) {
    constexpr DWORD kSector = 0x200;
    for (size_t i = 0; i < sections.size(); ++i) {
        const auto& a = sections[i];
        if (a.SizeOfRawData && a.PointerToRawData % kSector) return false;
        const ULONGLONG aEnd = static_cast<ULONGLONG>(a.VirtualAddress) + std::max(a.Misc.VirtualSize, a.SizeOfRawData);
        for (size_t j = i + 1; j < sections.size(); ++j) {
            const auto& b = sections[j];
            const ULONGLONG bEnd =
                static_cast<ULONGLONG>(b.VirtualAddress) + std::max(b.Misc.VirtualSize, b.SizeOfRawData);
            if (a.VirtualAddress < bEnd && b.VirtualAddress < aEnd) return false;
        }
    }
    return true;
}

// Every data entry below the version type's directory lies in the file;
// the one entry's place when there is exactly one, of name 1.
VersionResourceState check_version_entries(const CResourceImage& image, const IMAGE_RESOURCE_DIRECTORY_ENTRY& type,
                                           SoleVersionResource& sole) {
    std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> names, languages;
    if (!type.DataIsDirectory || !image.directory(type.OffsetToDirectory, names) || names.size() > kMaxVersionEntries)
        return VersionResourceState::Broken;
    size_t checked = 0;
    sole = SoleVersionResource();
    for (const auto& name : names) {
        if (!name.DataIsDirectory || !image.directory(name.OffsetToDirectory, languages) ||
            (checked += languages.size()) > kMaxVersionEntries)
            return VersionResourceState::Broken;
        for (const auto& language : languages) {
            IMAGE_RESOURCE_DATA_ENTRY data{};
            ULONGLONG offset = 0;
            if (language.DataIsDirectory || !image.data_entry(language.OffsetToData, data) ||
                data.Size > kMaxVersionResource || !image.locate(data.OffsetToData, data.Size, offset))
                return VersionResourceState::Broken;
            if (names.size() == 1 && languages.size() == 1 && !name.NameIsString && name.Id == 1)
                sole = {true, offset, data.Size};
        }
    }
    return names.empty() ? VersionResourceState::None : VersionResourceState::Sound;
}

} // namespace

VersionResourceState inspect_version_resource(HANDLE file, SoleVersionResource* sole) {
    if (sole) *sole = SoleVersionResource();
    CImageReader image(file);
    IMAGE_DOS_HEADER dos{};
    if (!image.read(0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE) return VersionResourceState::None;
    const ULONGLONG nt = static_cast<ULONGLONG>(static_cast<DWORD>(dos.e_lfanew));
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (!image.read(nt, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE ||
        !image.read(nt + sizeof(signature), &header, sizeof(header)))
        return VersionResourceState::None;

    // The resource directory's place, from either optional header.
    const ULONGLONG optional = nt + sizeof(signature) + sizeof(header);
    WORD magic = 0;
    if (!image.read(optional, &magic, sizeof(magic))) return VersionResourceState::None;
    IMAGE_DATA_DIRECTORY resources{};
    DWORD directories = 0;
    ULONGLONG directoryTable = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_OPTIONAL_HEADER64 h{};
        if (header.SizeOfOptionalHeader < sizeof(h) || !image.read(optional, &h, sizeof(h)))
            return VersionResourceState::None;
        directories = h.NumberOfRvaAndSizes;
        directoryTable = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        IMAGE_OPTIONAL_HEADER32 h{};
        if (header.SizeOfOptionalHeader < sizeof(h) || !image.read(optional, &h, sizeof(h)))
            return VersionResourceState::None;
        directories = h.NumberOfRvaAndSizes;
        directoryTable = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    } else {
        return VersionResourceState::None;
    }
    if (directories <= kResourceDirectory ||
        !image.read(directoryTable + kResourceDirectory * sizeof(resources), &resources, sizeof(resources)) ||
        resources.VirtualAddress == 0)
        return VersionResourceState::None;

    std::vector<IMAGE_SECTION_HEADER> sections(header.NumberOfSections);
    const ULONGLONG table = optional + header.SizeOfOptionalHeader;
    if (!sections.empty() &&
        !image.read(table, sections.data(), static_cast<DWORD>(sections.size() * sizeof(IMAGE_SECTION_HEADER))))
        return VersionResourceState::Broken;
    if (sections.size() > 96 || !sections_map_as_read(sections)) return VersionResourceState::Broken;
    const CResourceImage resourceImage(image, std::move(sections), resources.VirtualAddress);

    // The platform searches the ids, and finds whichever version entry its
    // search lands on: every entry that names the version type must hold.
    std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> types;
    if (!resourceImage.directory(0, types)) return VersionResourceState::Broken;
    VersionResourceState state = VersionResourceState::None;
    size_t versionTypes = 0;
    SoleVersionResource found;
    for (const auto& type : types) {
        if (type.NameIsString || type.Id != kVersionType) continue;
        ++versionTypes;
        const VersionResourceState entry = check_version_entries(resourceImage, type, found);
        if (entry == VersionResourceState::Broken) return entry;
        if (entry == VersionResourceState::Sound) state = entry;
    }
    if (sole && versionTypes == 1) *sole = found;
    return state;
}
