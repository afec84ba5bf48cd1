// Child process for the hostile-file tests: walks the folder given and
// hashes what it collected, as a scan task does, and prints one line per
// file and per error event. A crash or a stall shows in its exit code.
#include "ssr_file_info.h"
#include "ssr_path_review.h"
#include "ssr_scan_events.h"

#include "vrbase/exception_guard.h"
#include "vrbase/scope.h"
#include "vrbase/seh_catcher.h"
#include "vrbase/trace.h"

#include <cstdio>
#include <string>

VR_DEFINE_MODULE_TRACE(L"VrScanChild")

namespace {

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

class PrintingSink : public IScanEventSink {
public:
    PrintingSink() { set_scan_event_sink(this); }
    ~PrintingSink() override { set_scan_event_sink(nullptr); }
    void scan_error(const std::wstring&, DWORD stage, const std::wstring& text, DWORD reason,
                    const std::wstring&) override {
        std::printf("EVENT\t%lu\t%lu\t%s\n", stage, reason, utf8(text).c_str());
    }
};

DWORD scan(const wchar_t* folder) {
    VrBase::CSehCatcher seh;
    return VrBase::GuardCode(L"scan_child", [&]() -> DWORD {
        VrBase::unique_handle abort(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        PathSet targets{folder}, exclusions, extensions;
        FileObjectMap files;
        trg_paths_check_and_adjustment(targets, exclusions);
        targets_review(abort.get(), targets, exclusions, extensions, L"OP", L"S-1-5-18", files);
        calc_fo_checksums(abort.get(), L"OP", L"S-1-5-18", files);
        for (const auto& f : files)
            std::printf("FILE\t%s\t%s\t%s\t%s\t%s\t%llu\t%s\n", utf8(f.first).c_str(), utf8(f.second.type).c_str(),
                        utf8(f.second.company_name).c_str(), utf8(f.second.description).c_str(),
                        utf8(f.second.file_version).c_str(), f.second.size, utf8(f.second.checksum).c_str());
        std::printf("DONE %zu\n", files.size());
        std::fflush(stdout);
        return 0;
    });
}

} // namespace

// scan_child FOLDER: lines "FILE<tab>path<tab>type<tab>company<tab>
// description<tab>file version<tab>size<tab>checksum" and "EVENT<tab>stage
// <tab>reason<tab>text", then "DONE <count>".
int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    VrBase::CRTLTranslator rtl;
    PrintingSink sink;
    return static_cast<int>(scan(argv[1]));
}
