#pragma once
// Where this process writes the minidumps of its system exceptions.
#include <string>

namespace VrBase {

// By default a program writes its dumps into its temporary folder: a user's
// program where that user can write. A process that runs as LocalSystem
// names a folder that only SYSTEM and Administrators can write, and from
// then on writes nowhere else; an empty folder means no dumps at all.
void SetMiniDumpFolder(const std::wstring& folder);

} // namespace VrBase
