#pragma once
// Checks of a version block before anything walks it: files come from
// anyone who can write into a scanned folder.
#include <windows.h>
#include <cstddef>

// The root is "VS_VERSION_INFO" in the 32-bit layout, fits the buffer, and
// every node down to the string values lies inside its parent with its key
// terminated and its value inside itself.
bool version_block_is_sound(const BYTE* block, size_t size);

// The bytes the block's root claims, never more than the buffer holds.
size_t version_block_extent(const BYTE* block, size_t size);

// Whether bytes at p lie wholly inside the block's extent.
bool lies_inside(const BYTE* block, size_t extent, const void* p, size_t bytes);
