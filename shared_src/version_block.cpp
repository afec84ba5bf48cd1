#include "version_block.h"

#include <cwchar>

namespace {

constexpr size_t kHeader = 3 * sizeof(WORD);  // wLength, wValueLength, wType
// Root, StringFileInfo, string table, string: as deep as any query goes.
constexpr int kQueriedDepth = 3;

size_t align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

WORD word_at(const BYTE* block, size_t offset) {
    WORD w;
    memcpy(&w, block + offset, sizeof(w));
    return w;
}

// The node at offset ends at or before end; checks it and, while depth
// remains, its children. Depth is bounded, so is the recursion.
bool node_is_sound(const BYTE* block, size_t offset, size_t end, int depth, const wchar_t* key = nullptr) {
    if (offset + kHeader > end) return false;
    const size_t length = word_at(block, offset), valueLength = word_at(block, offset + 2);
    const WORD type = word_at(block, offset + 4);
    if (type > 1 || length < kHeader || offset + length > end) return false;
    const size_t nodeEnd = offset + length;

    size_t keyEnd = offset + kHeader;
    while (keyEnd + sizeof(wchar_t) <= nodeEnd && word_at(block, keyEnd) != 0) keyEnd += sizeof(wchar_t);
    if (keyEnd + sizeof(wchar_t) > nodeEnd) return false;  // key without terminator
    if (key) {
        const size_t keyChars = (keyEnd - offset - kHeader) / sizeof(wchar_t);
        if (keyChars != wcslen(key)) return false;
        for (size_t i = 0; i < keyChars; ++i)
            if (word_at(block, offset + kHeader + i * sizeof(wchar_t)) != static_cast<WORD>(key[i])) return false;
    }
    const size_t value = align4(keyEnd + sizeof(wchar_t));
    // Some compilers count a text value in bytes, not characters: accept
    // either, as long as it stays inside its node.
    if (valueLength && value + valueLength > nodeEnd) return false;
    size_t valueBytes = type == 1 ? valueLength * sizeof(wchar_t) : valueLength;
    if (value + valueBytes > nodeEnd) valueBytes = valueLength;

    if (depth == 0) return true;
    for (size_t child = align4(value + valueBytes); child < nodeEnd; child = align4(child + word_at(block, child))) {
        if (nodeEnd - child < kHeader) break;  // padding at the end
        if (!node_is_sound(block, child, nodeEnd, depth - 1)) return false;
    }
    return true;
}

} // namespace

bool version_block_is_sound(const BYTE* block, size_t size) {
    return block && node_is_sound(block, 0, size, kQueriedDepth, L"VS_VERSION_INFO");
}

size_t version_block_extent(const BYTE* block, size_t size) {
    if (!block || size < sizeof(WORD)) return 0;
    const size_t root = word_at(block, 0);
    return root < size ? root : size;
}

bool lies_inside(const BYTE* block, size_t extent, const void* p, size_t bytes) {
    const BYTE* at = static_cast<const BYTE*>(p);
    return block && at >= block && at <= block + extent && bytes <= static_cast<size_t>(block + extent - at);
}
