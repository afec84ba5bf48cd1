#pragma once
// Where a file's version resource lies in its image, checked before the
// platform's version functions copy it: they trust the image's sizes.
#include <windows.h>

enum class VersionResourceState {
    None,    // not a PE image, or no version resource in it
    Sound,   // every version resource entry lies inside the file
    Broken,  // the resource directory or a version entry points outside the file
};

// Where the one version resource of an image lies in the file, when the
// platform's own lookup is certain to land on it and read those bytes:
// type 16 found among the sorted id entries, name 1, one language, all in
// the section of the resource root, and no type the platform would take
// from a language satellite ("MUI"). Otherwise not found: ask the platform.
struct SoleVersionResource {
    bool found = false;
    ULONGLONG offset = 0;
    DWORD size = 0;
};

// Reads the headers and resource directory of the open file.
VersionResourceState inspect_version_resource(HANDLE file, SoleVersionResource* sole = nullptr);
