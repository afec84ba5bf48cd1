#pragma once
// The export request's parameters document: where to copy the software
// state document and whether the depot keeps its own copy.
#include <windows.h>
#include <string>

// 0, or the XML layer's code (a document that does not load, a missing node).
// Runs the DOM work on an executor thread of its own.
HRESULT read_export_params(const std::wstring& parameters, bool& deleteAfter, std::wstring& path);
