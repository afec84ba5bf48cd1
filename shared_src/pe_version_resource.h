#pragma once
// Where a file's version resource lies in its image, checked before the
// platform's version functions copy it: they trust the image's sizes.
#include <windows.h>

enum class VersionResourceState {
    None,    // not a PE image, or no version resource in it
    Sound,   // every version resource entry lies inside the file
    Broken,  // the resource directory or a version entry points outside the file
};

// Reads the headers and resource directory of the open file.
VersionResourceState inspect_version_resource(HANDLE file);
