#include "pe_version_resource.h"

#include "vrbase/vr_error.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kResourceDirectory = 2;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
constexpr WORD kVersionType = 16;        // RT_VERSION
// A version block's own length is 16 bits; anything near this is hostile.
constexpr DWORD kMaxVersionResource = 0x100000;
// Files carry one version resource in a few languages; a directory that
// lists thousands would only make the check itself slow.
constexpr size_t kMaxVersionEntries = 256;
// More named types than this and the image is left to the platform.
constexpr size_t kMaxNamedTypes = 64;

// The file's bytes at an offset; false when they are not all there.
// Reads of the image through a few cached blocks: the headers and the
// resource directory are many small reads close together, and each read of
// its own is a round trip to the system.
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
        if (bytes > kBlock) return read_file(offset, out, bytes);
        BYTE* to = static_cast<BYTE*>(out);
        while (bytes > 0) {
            const std::vector<BYTE>* block = cached(offset / kBlock);
            if (!block) return read_file(offset, to, bytes);
            const size_t inside = static_cast<size_t>(offset % kBlock);
            // A block shorter than the size measured: the file shrank.
            if (inside >= block->size()) return false;
            const DWORD n = static_cast<DWORD>(std::min<size_t>(bytes, block->size() - inside));
            memcpy(to, block->data() + inside, n);
            to += n;
            offset += n;
            bytes -= n;
        }
        return true;
    }

private:
    static constexpr DWORD kBlock = 16 * 1024;
    static constexpr size_t kMaxBlocks = 8;

    bool read_file(ULONGLONG offset, void* out, DWORD bytes) const {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(m_file, out, bytes, &got, &at)) VR_RAISE_LAST_ERROR(L"inspect_version_resource");
        return got == bytes;
    }
    // Null once the cache is full, or when the block cannot be read whole
    // (another process may lock a range the reads asked for do not touch):
    // reads then go to the file.
    const std::vector<BYTE>* cached(ULONGLONG index) const {
        for (const auto& block : m_blocks)
            if (block.first == index) return &block.second;
        if (m_blocks.size() == kMaxBlocks) return nullptr;
        const ULONGLONG offset = index * kBlock;
        std::vector<BYTE> bytes(static_cast<size_t>(std::min<ULONGLONG>(kBlock, m_size - offset)));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(m_file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, &at)) return nullptr;
        bytes.resize(got);
        m_blocks.emplace_back(index, std::move(bytes));
        return &m_blocks.back().second;
    }

    HANDLE m_file;
    ULONGLONG m_size = 0;
    mutable std::vector<std::pair<ULONGLONG, std::vector<BYTE>>> m_blocks;
};

class CResourceImage {
public:
    CResourceImage(const CImageReader& image, std::vector<IMAGE_SECTION_HEADER> sections, ULONGLONG root)
        : m_image(image), m_sections(std::move(sections)), m_root(root) {}

    // File offset of [rva, rva + bytes), or false when it leaves its
    // section's data or the file.
    bool locate(ULONGLONG rva, ULONGLONG bytes, ULONGLONG& offset) const {
        const size_t section = section_of(rva);
        if (section == m_sections.size()) return false;
        const IMAGE_SECTION_HEADER& s = m_sections[section];
        const ULONGLONG inside = rva - s.VirtualAddress;
        offset = s.PointerToRawData + inside;
        return bytes <= mapped_bytes(s) - inside && offset <= m_image.size() && bytes <= m_image.size() - offset;
    }

    // Whether [rva, rva + bytes) lies in the file and in the section that
    // holds the root: a platform that reads the tree on from the root's
    // place in the file then reads the same bytes.
    bool in_root_section(ULONGLONG rva, ULONGLONG bytes) const {
        ULONGLONG offset = 0;
        return locate_in_root_section(rva, bytes, offset);
    }
    bool locate_in_root_section(ULONGLONG rva, ULONGLONG bytes, ULONGLONG& offset) const {
        return section_of(rva) == section_of(m_root) && locate(rva, bytes, offset);
    }
    ULONGLONG root() const { return m_root; }

    // The loader maps no more of a section's data than its virtual size.
    static ULONGLONG mapped_bytes(const IMAGE_SECTION_HEADER& s) {
        return s.Misc.VirtualSize ? std::min<ULONGLONG>(s.SizeOfRawData, s.Misc.VirtualSize) : s.SizeOfRawData;
    }

    // The entries of the directory at an offset from the root; the named
    // ones come first.
    bool directory(ULONGLONG relative, std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY>& entries,
                   size_t* named = nullptr) const {
        ULONGLONG offset = 0;
        IMAGE_RESOURCE_DIRECTORY header{};
        if (!locate(m_root + relative, sizeof(header), offset) || !m_image.read(offset, &header, sizeof(header)))
            return false;
        if (named) *named = header.NumberOfNamedEntries;
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

    // The name of a named entry, at an offset from the root, when it lies
    // in the root's section.
    bool name(ULONGLONG relative, std::wstring& text) const {
        WORD length = 0;
        ULONGLONG offset = 0;
        if (!locate_in_root_section(m_root + relative, sizeof(length), offset) ||
            !m_image.read(offset, &length, sizeof(length)))
            return false;
        const ULONGLONG bytes = static_cast<ULONGLONG>(length) * sizeof(wchar_t);
        text.assign(length, L'\0');
        return length == 0 || (locate_in_root_section(m_root + relative + sizeof(length), bytes, offset) &&
                               m_image.read(offset, &text[0], static_cast<DWORD>(bytes)));
    }

private:
    size_t section_of(ULONGLONG rva) const {
        for (size_t i = 0; i < m_sections.size(); ++i) {
            const IMAGE_SECTION_HEADER& s = m_sections[i];
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < mapped_bytes(s)) return i;
        }
        return m_sections.size();
    }

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

// Every data entry below the version type's directory lies in the file.
VersionResourceState check_version_entries(const CResourceImage& image, const IMAGE_RESOURCE_DIRECTORY_ENTRY& type) {
    std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> names, languages;
    if (!type.DataIsDirectory || !image.directory(type.OffsetToDirectory, names) || names.size() > kMaxVersionEntries)
        return VersionResourceState::Broken;
    size_t checked = 0;
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
        }
    }
    return names.empty() ? VersionResourceState::None : VersionResourceState::Sound;
}

// The entry of an id as the platform's lookup finds it: a binary search of
// the id entries, which follow the named ones. Null when the id is not
// there, or when the ids are not plain and strictly ascending: where such
// a search lands is the platform's to say.
const IMAGE_RESOURCE_DIRECTORY_ENTRY* find_id_entry(const std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY>& entries,
                                                    size_t named, WORD id) {
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* found = nullptr;
    for (size_t i = named; i < entries.size(); ++i) {
        const DWORD name = entries[i].Name;
        if (name > 0xFFFF || (i > named && entries[i - 1].Name >= name)) return nullptr;
        if (name == id) found = &entries[i];
    }
    return found;
}

// Resource types the platform takes from a language satellite instead of
// from the image itself.
bool has_satellite_type(const CResourceImage& image, const std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY>& types,
                        size_t named) {
    if (named > kMaxNamedTypes || named > types.size()) return true;
    for (size_t i = 0; i < named; ++i) {
        std::wstring name;
        if (!types[i].NameIsString || !image.name(types[i].NameOffset, name)) return true;
        if (::CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), L"MUI", 3, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

// Where the version resource lies when the platform's lookup is certain to
// land on it: one type entry for versions, found by the lookup, holding name
// 1 alone in one language, the whole path and the data in the root's
// section, and nothing the platform would read from a satellite instead.
SoleVersionResource find_sole_version(const CResourceImage& image,
                                      const std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY>& types, size_t named) {
    const SoleVersionResource none;
    const auto entryBytes = [](size_t count) {
        return sizeof(IMAGE_RESOURCE_DIRECTORY) + count * sizeof(IMAGE_RESOURCE_DIRECTORY_ENTRY);
    };
    if (!image.in_root_section(image.root(), entryBytes(types.size())) || has_satellite_type(image, types, named))
        return none;
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* type = find_id_entry(types, named, kVersionType);
    if (!type || !type->DataIsDirectory) return none;
    std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> names, languages;
    size_t namedNames = 0, namedLanguages = 0;
    if (!image.directory(type->OffsetToDirectory, names, &namedNames) || names.size() != 1 || namedNames != 0 ||
        names[0].Name != 1 || !names[0].DataIsDirectory ||
        !image.in_root_section(image.root() + type->OffsetToDirectory, entryBytes(1)))
        return none;
    if (!image.directory(names[0].OffsetToDirectory, languages, &namedLanguages) || languages.size() != 1 ||
        namedLanguages != 0 || languages[0].NameIsString || languages[0].DataIsDirectory ||
        !image.in_root_section(image.root() + names[0].OffsetToDirectory, entryBytes(1)))
        return none;
    IMAGE_RESOURCE_DATA_ENTRY data{};
    ULONGLONG offset = 0;
    if (!image.in_root_section(image.root() + languages[0].OffsetToData, sizeof(data)) ||
        !image.data_entry(languages[0].OffsetToData, data) || data.Size > kMaxVersionResource ||
        !image.in_root_section(data.OffsetToData, data.Size) || !image.locate(data.OffsetToData, data.Size, offset))
        return none;
    return {true, offset, data.Size};
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
    size_t named = 0;
    if (!resourceImage.directory(0, types, &named)) return VersionResourceState::Broken;
    VersionResourceState state = VersionResourceState::None;
    size_t versionTypes = 0;
    for (const auto& type : types) {
        if (type.NameIsString || type.Id != kVersionType) continue;
        ++versionTypes;
        const VersionResourceState entry = check_version_entries(resourceImage, type);
        if (entry == VersionResourceState::Broken) return entry;
        if (entry == VersionResourceState::Sound) state = entry;
    }
    if (sole && state == VersionResourceState::Sound && versionTypes == 1)
        *sole = find_sole_version(resourceImage, types, named);
    return state;
}
