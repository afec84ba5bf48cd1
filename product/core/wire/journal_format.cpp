#include "journal_format.h"

#include <cstdio>
#include <cstdlib>

namespace vrcc {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::wstring UtcTimeText(const FILETIME& time) {
    SYSTEMTIME st{};
    ::FileTimeToSystemTime(&time, &st);
    wchar_t buf[40];
    swprintf(buf, 40, L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond, st.wMilliseconds);
    return buf;
}

namespace {

std::string Escape(const std::wstring& text) {
    std::string in = ToUtf8(text), out;
    out.reserve(in.size());
    for (char c : in) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::wstring Unescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            c = n == 't' ? '\t' : n == 'r' ? '\r' : n == 'n' ? '\n' : n;
        }
        out += c;
    }
    return FromUtf8(out);
}

bool ParseUnsigned(const std::string& s, int base, uint64_t& value) {
    if (s.empty()) return false;
    char* end = nullptr;
    value = std::strtoull(s.c_str(), &end, base);
    return end && *end == '\0';
}

} // namespace

std::string FormatJournalLine(const JournalRecord& r) {
    char num[64];
    std::string line = std::to_string(r.seq);
    line += '\t' + Escape(r.time);
    line += '\t' + std::to_string(r.processId);
    line += '\t' + Escape(r.source);
    line += '\t' + Escape(r.categoryName);
    line += '\t' + std::to_string(r.category);
    std::snprintf(num, sizeof num, "0x%08lX", static_cast<unsigned long>(r.eventId));
    line += '\t' + std::string(num);
    line += '\t' + std::to_string(r.type);
    line += '\t' + Escape(r.sid.empty() ? L"-" : r.sid);
    line += '\t' + (r.dataHex.empty() ? std::string("-") : r.dataHex);
    line += '\t' + std::to_string(r.strings.size());
    for (const auto& s : r.strings) line += '\t' + Escape(s);
    line += "\r\n";
    return line;
}

bool ParseJournalLine(const std::string& line, JournalRecord& r) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (f.size() < 11) return false;
    uint64_t seq, pid, cat, id, type, n;
    if (!ParseUnsigned(f[0], 10, seq) || !ParseUnsigned(f[2], 10, pid) || !ParseUnsigned(f[5], 10, cat) ||
        !ParseUnsigned(f[6], 16, id) || !ParseUnsigned(f[7], 10, type) || !ParseUnsigned(f[10], 10, n) ||
        f.size() != 11 + n)
        return false;
    r.seq = seq;
    r.time = Unescape(f[1]);
    r.processId = static_cast<DWORD>(pid);
    r.source = Unescape(f[3]);
    r.categoryName = Unescape(f[4]);
    r.category = static_cast<WORD>(cat);
    r.eventId = static_cast<DWORD>(id);
    r.type = static_cast<WORD>(type);
    r.sid = Unescape(f[8]);
    r.dataHex = f[9] == "-" ? std::string() : f[9];
    r.strings.clear();
    for (size_t i = 11; i < f.size(); ++i) r.strings.push_back(Unescape(f[i]));
    return true;
}

} // namespace vrcc
