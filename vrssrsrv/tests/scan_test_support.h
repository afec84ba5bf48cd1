#pragma once
// Trees on disk and observers for the scan engine's tests.
#include "i18n/i18n.h"
#include "ssr_scan_events.h"
#include "support/test_support.h"
#include "vrbase/scope.h"

#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace scantest {

// Records the scan error events it is given, while connected.
class RecordingSink : public IScanEventSink {
public:
    RecordingSink() { set_scan_event_sink(this); }
    ~RecordingSink() override { set_scan_event_sink(nullptr); }
    void scan_error(const std::wstring& operationId, DWORD stage, const std::wstring& text, DWORD reason,
                    const std::wstring& userSid) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        events.emplace_back(operationId, stage, text, reason, userSid);
        if (onEvent) onEvent();
    }
    std::vector<std::tuple<std::wstring, DWORD, std::wstring, DWORD, std::wstring>> events;
    std::function<void()> onEvent;

private:
    std::mutex m_mutex;
};

inline void MakeDir(const std::wstring& path) { ::CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr); }
inline void MakeFile(const std::wstring& path, const std::string& bytes = "x") {
    vrtest::WriteFileBytes(L"\\\\?\\" + path, bytes);
}

// The document's computer record, host names and addresses over several
// lines, as one empty element.
inline std::string MaskComputerRecord(const std::string& document) {
    return std::regex_replace(document, std::regex("<Computer>[\\s\\S]*?</Computer>"), "<Computer/>");
}

// The product locale the scan needs, for the life of the scope.
class ProductLocale {
public:
    explicit ProductLocale(const wchar_t* locale) : m_key(L"SOFTWARE\\Calderis\\Varnel Studio") {
        m_key.SetString(nullptr, L"ProductLocale", locale);
        i18n::reset_language_caches_for_tests();
    }
    ~ProductLocale() { i18n::reset_language_caches_for_tests(); }

private:
    vrtest::RegKeyScope m_key;
};

} // namespace scantest
