#pragma once
// Where the service's minidumps go: "dumps" in the protection folder, which
// only SYSTEM and Administrators can write. A dump holds the service's whole
// memory; the temporary folder of LocalSystem lets users create files.
#include <string>

constexpr const wchar_t* kDumpFolderName = L"dumps";

// Creates or repairs the folder and makes it the process's only dump
// folder; when it cannot be had, the service writes no dumps at all.
void prepare_dump_folder();
