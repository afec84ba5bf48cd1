#include "ctl_event_text.h"

#include "VrEvtMsg.h"
#include "vrbase/error_description.h"
#include "vrbase/module_path.h"
#include "vrbase/scope.h"
#include "vrbase/tool_cli.h"

#include <cwctype>
#include <vector>

namespace vrccctl {
namespace {

#define VR_EVENT_NAME(id) {id, L## #id}
struct EventName {
    DWORD id;
    const wchar_t* name;
};
// The names of the events the message file knows, from its own header.
const EventName kEventNames[] = {
    VR_EVENT_NAME(EID_SP_SES_BUILD_STARTED), VR_EVENT_NAME(EID_SP_SES_BUILD_COMPLETE),
    VR_EVENT_NAME(EID_SP_SES_BUILD_ERROR),   VR_EVENT_NAME(EID_SP_SES_SAVED),
};
#undef VR_EVENT_NAME

const wchar_t* EventNameOf(DWORD id) {
    for (const EventName& e : kEventNames)
        if (e.id == id) return e.name;
    return nullptr;
}

const wchar_t* TypeWords(WORD type) {
    switch (type) {
    case EVENTLOG_SUCCESS: return L"success";
    case EVENTLOG_ERROR_TYPE: return L"error";
    case EVENTLOG_WARNING_TYPE: return L"warning";
    case EVENTLOG_INFORMATION_TYPE: return L"information";
    case EVENTLOG_AUDIT_SUCCESS: return L"audit success";
    case EVENTLOG_AUDIT_FAILURE: return L"audit failure";
    default: return nullptr;
    }
}

// The event message file beside this tool, loaded once as data.
HMODULE MessageFile() {
    static VrBase::unique_hmodule module(::LoadLibraryExW((VrBase::ProgramFolder() + L"VrEvtMsg.dll").c_str(), nullptr,
                                                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    return module.get();
}

// One message of the file in the product's language (else the system's
// choice), with the inserts given; empty when the file does not hold it.
std::wstring Message(DWORD id, const std::vector<std::wstring>* inserts) {
    HMODULE module = MessageFile();
    if (!module) return std::wstring();
    std::vector<DWORD_PTR> args;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE;
    if (inserts) {
        flags |= FORMAT_MESSAGE_ARGUMENT_ARRAY;
        for (const std::wstring& s : *inserts) args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
        // A text that names more inserts than the record holds reads these.
        for (int i = 0; i < 99; ++i) args.push_back(reinterpret_cast<DWORD_PTR>(L""));
    } else {
        flags |= FORMAT_MESSAGE_IGNORE_INSERTS;
    }
    for (DWORD language : {static_cast<DWORD>(VrBase::ProductMessageLanguage()), 0ul}) {
        wchar_t* raw = nullptr;
        const DWORD n = ::FormatMessageW(flags, module, id, language, reinterpret_cast<LPWSTR>(&raw), 0,
                                         args.empty() ? nullptr : reinterpret_cast<va_list*>(args.data()));
        VrBase::unique_hlocal owner(raw);
        if (n == 0 || !raw) continue;
        std::wstring text(raw, n);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
        return text;
    }
    return std::wstring();
}

// "%%N" stands for message N of the file, as Event Viewer expands it.
std::wstring ExpandedInsert(const std::wstring& insert) {
    if (insert.size() < 3 || insert.size() > 12 || insert.compare(0, 2, L"%%") != 0) return insert;
    DWORD number = 0;
    for (size_t i = 2; i < insert.size(); ++i) {
        if (!iswdigit(insert[i])) return insert;
        number = number * 10 + (insert[i] - L'0');
    }
    std::wstring text = Message(number, nullptr);
    return text.empty() ? insert : text;
}

// Any caller may write an event: the controls in its texts are shown as
// \xNN instead of acting on the terminal, and a line break in a text
// continues indented, so no text starts a line that reads as a record.
std::wstring Shown(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
        if (c == L'\n')
            out += L"\n    ";
        else if ((c < 0x20 && c != L'\t') || (c >= 0x7F && c <= 0x9F))
            out += VrBase::FormatText(L"\\x%02X", static_cast<unsigned>(c));
        else
            out += c;
    }
    return out;
}

std::wstring RawText(const vrcc::JournalRecord& rec) {
    std::wstring text = VrBase::FormatText(L"#%llu %ls %ls/%ls category %u id 0x%08X type %u sid %ls process %u\n",
                                           static_cast<unsigned long long>(rec.seq), rec.time.c_str(),
                                           rec.source.c_str(), rec.categoryName.c_str(), rec.category, rec.eventId,
                                           rec.type, rec.sid.c_str(), rec.processId);
    for (size_t i = 0; i < rec.strings.size(); ++i)
        text += VrBase::FormatText(L"  [%zu] %ls\n", i + 1, rec.strings[i].c_str());
    if (!rec.dataHex.empty()) text += VrBase::FormatText(L"  data %hs\n", rec.dataHex.c_str());
    return text;
}

} // namespace

std::wstring JournalRecordText(const vrcc::JournalRecord& rec, bool raw) {
    if (raw) return RawText(rec);
    std::vector<std::wstring> inserts;
    for (const std::wstring& s : rec.strings) inserts.push_back(ExpandedInsert(s));
    const std::wstring message = Message(rec.eventId, &inserts);
    const wchar_t* name = EventNameOf(rec.eventId);
    const wchar_t* type = TypeWords(rec.type);
    std::wstring text = VrBase::FormatText(L"#%llu %ls %ls %ls (0x%08X) %ls category %ls (%u) user %ls process %u\n",
                                           static_cast<unsigned long long>(rec.seq), rec.time.c_str(),
                                           Shown(rec.source).c_str(), name ? name : L"event", rec.eventId,
                                           type ? type : VrBase::FormatText(L"type %u", rec.type).c_str(),
                                           Shown(rec.categoryName).c_str(), rec.category, Shown(rec.sid).c_str(),
                                           rec.processId);
    if (!message.empty()) {
        text += L"  " + Shown(message) + L"\n";
    } else {
        // No text for it: the inserts as they are, expanded where the file can.
        for (size_t i = 0; i < inserts.size(); ++i)
            text += VrBase::FormatText(L"  [%zu] %ls\n", i + 1, Shown(inserts[i]).c_str());
    }
    if (!rec.dataHex.empty()) text += VrBase::FormatText(L"  data %hs\n", rec.dataHex.c_str());
    return text;
}

} // namespace vrccctl
