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
// image holds exactly one: type 16, name 1, one language. Whatever search
// the platform makes then lands on it.
struct SoleVersionResource {
    bool found = false;
    ULONGLONG offset = 0;
    DWORD size = 0;
};

// Reads the headers and resource directory of the open file.
VersionResourceState inspect_version_resource(HANDLE file, SoleVersionResource* sole = nullptr);
