#include "ssr_comp_info.h"
#include "ssr_disk_depot.h"

#include "file_helpers.h"
#include "path_ops.h"
#include "sid_helpers.h"
#include "time_convertions.h"
#include "vrbase/exception_guard.h"
#include "vrbase/trace.h"
#include "vrbase/vr_error.h"
#include "xml_common.h"

#include <cwchar>

namespace {

const wchar_t kDtNamespace[] = L"urn:schemas-microsoft-com:datatypes";
const wchar_t* const kComputerNames[] = {L"SerialNumber",   L"Type",           L"ResponsibleEmployee", L"Department",
                                         L"NetworkName",    L"NetworkAddress", L"AutomationSystem",    L"OperatingSystem",
                                         L"DBMS",           L"Location"};

void text_element(CXmlLiteWriter& w, const wchar_t* name, const std::wstring& value) {
    w.start_node(name, value);
    w.close_single_node();
}

void typed_element(CXmlLiteWriter& w, const wchar_t* name, const wchar_t* type, const std::wstring& value) {
    w.start_node(name);
    w.add_attribute(L"dt", L"dt", kDtNamespace, type);
    w.write_string(value.c_str());
    w.close_single_node();
}

std::wstring computer_value(const wchar_t* name) {
    std::wstring value;
    VrBase::GuardVoid(L"save_software_state_worker", [&] { value = get_comp_info(name); });
    return value;
}

void write_document(const std::wstring& path, const std::wstring& uniqueId, const FileObjectMap& files) {
    CXmlLiteWriter w(path);
    w.start_node(L"RarudodaVaridide");
    w.add_attribute(L"xmlns", L"dt", nullptr, kDtNamespace);
    text_element(w, L"UniqueId", uniqueId);
    text_element(w, L"DateGenerated", get_current_time_iso_str());
    text_element(w, L"SID", query_host_sid());

    w.start_node(L"Computer");
    for (const wchar_t* name : kComputerNames) text_element(w, name, computer_value(name));
    w.close_single_node();

    w.start_node(L"Software");
    wchar_t size[24];
    size_t written = 0;
    for (const auto& entry : files) {
        if (++written % 256 == 0) w.flush();
        const std::wstring& full = entry.first;
        const _SSR_FILE_OBJECT_INFO& info = entry.second;
        const size_t slash = full.find_last_of(L'\\');
        w.start_node(L"SI");
        typed_element(w, L"P", L"string", slash == std::wstring::npos ? std::wstring() : full.substr(0, slash));
        typed_element(w, L"N", L"string", slash == std::wstring::npos ? full : full.substr(slash + 1));
        typed_element(w, L"D", L"string", info.description);
        typed_element(w, L"T", L"string", info.type);
        typed_element(w, L"V", L"string", info.file_version);
        typed_element(w, L"MN", L"string", info.company_name);
        typed_element(w, L"PN", L"string", info.product_name);
        typed_element(w, L"PV", L"string", info.product_version);
        swprintf(size, 24, L"%llu", info.size);
        typed_element(w, L"S", L"i8", size);
        typed_element(w, L"CD", L"dateTime.tz", info.change_time);
        typed_element(w, L"CS", L"string", info.checksum);
        w.close_single_node();
    }
    w.close_single_node();
    w.close_single_node();
    w.finish();
}

} // namespace

std::wstring partial_ses_path(const std::wstring& path) { return partial_file_path(path); }

void save_software_state_worker(const std::wstring& path, const std::wstring& uniqueId, const FileObjectMap& files) {
    try {
        // Written beside the final name and moved into place only when whole:
        // a crash or a failure never leaves a document that reads as valid.
        const std::wstring partial = partial_ses_path(path);
        CDeleteFileWatchDog watchDog(partial);
        write_document(partial, uniqueId, files);
        commit_file(partial, path);
        watchDog.dismiss();
    } catch (...) {
        VR_UNWIND_TRACE(L"save_software_state_worker");
        throw;
    }
}

std::wstring read_ses_unique_id(const std::wstring& path) {
    if (::GetFileAttributesW(long_path(path).c_str()) == INVALID_FILE_ATTRIBUTES) return std::wstring();
    CXmlLiteReader reader(path);
    return reader.get_unique_node_value(L"UniqueId");
}
