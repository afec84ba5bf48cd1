#include "e2e_support.h"

#include "ssr_messages.h"
#include "ssr_msg_sender.h"
#include "vr_srv.h"
#include "vrsrvapi.h"

#include "Com/com_ptr.h"

#include <objidl.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace e2e {

void ServicesTest::SetUp() {
    product.SetString(nullptr, L"ProductLocale", L"en-US");
    std::string out;
    ASSERT_EQ(coretest::RunCaptured(L"vrcc-ctl.exe", L"install", out), 0u) << out;
    ASSERT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"install --start=demand --protection-dir=" + dir.path()), 0u);
    scm.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(scm);
    coreService.reset(::OpenServiceW(scm.get(), L"VrCC", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(coreService);
    ASSERT_TRUE(Start(coreService.get())) << ::GetLastError();
    ASSERT_TRUE(coretest::WaitForCore(20000));
    scanService.reset(::OpenServiceW(scm.get(), L"VrSoftwareState", SERVICE_ALL_ACCESS));
    ASSERT_TRUE(scanService);
}

// Neither service stays behind to start with the next Wine session.
void ServicesTest::TearDown() {
    scanService.reset();
    coreService.reset();
    scm.reset();
    EXPECT_EQ(vrtest::RunChild(L"vrssr-setup.exe", L"uninstall"), 0u);
    std::string out;
    EXPECT_EQ(coretest::RunCaptured(L"vrcc-ctl.exe", L"uninstall", out), 0u) << out;
}

DWORD ServicesTest::Agent(const std::wstring& args, std::string& out, DWORD timeoutMs) {
    return coretest::RunCaptured(L"vragent.exe", args, out, timeoutMs);
}

std::string ServicesTest::Events(unsigned long long since, unsigned long long* next) {
    std::string out;
    const DWORD rc = coretest::RunCaptured(L"vrcc-ctl.exe", L"events --raw --since " + std::to_wstring(since), out);
    EXPECT_EQ(rc, 0u) << out;
    if (next) {
        const size_t at = out.rfind("mark ");
        *next = at == std::string::npos ? since : std::strtoull(out.c_str() + at + 5, nullptr, 10);
    }
    return out;
}

DWORD ServicesTest::StateOf(SC_HANDLE service) {
    SERVICE_STATUS s{};
    EXPECT_TRUE(::QueryServiceStatus(service, &s));
    return s.dwCurrentState;
}

DWORD ServicesTest::StartType() {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    EXPECT_TRUE(::QueryServiceConfigW(scanService.get(), c, static_cast<DWORD>(buffer.size()), &needed));
    return c->dwStartType;
}

DWORD ServicesTest::ScanPid() {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(scanService.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s,
                                &needed))
        return 0;
    return s.dwProcessId;
}

bool ServicesTest::Start(SC_HANDLE service, DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (!::StartServiceW(service, 0, nullptr)) {
        const DWORD e = ::GetLastError();
        if (e == ERROR_SERVICE_ALREADY_RUNNING && StateOf(service) == SERVICE_RUNNING) return true;
        if (e != ERROR_SERVICE_ALREADY_RUNNING || ::GetTickCount64() > end) return false;
        ::Sleep(200);
    }
    while (StateOf(service) != SERVICE_RUNNING) {
        if (::GetTickCount64() > end || StateOf(service) == SERVICE_STOPPED) return false;
        ::Sleep(50);
    }
    return true;
}

bool ServicesTest::Stop(SC_HANDLE service, StopTiming* timing, DWORD ms) {
    const ULONGLONG begin = ::GetTickCount64();
    SERVICE_STATUS s{};
    if (!::ControlService(service, SERVICE_CONTROL_STOP, &s)) return false;
    StopTiming t;
    // Each report gives the SCM its hint for the next one.
    ULONGLONG since = begin;
    DWORD state = s.dwCurrentState, checkPoint = s.dwCheckPoint, hint = s.dwWaitHint;
    for (;;) {
        SERVICE_STATUS_PROCESS p{};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&p), sizeof p, &needed))
            return false;
        const ULONGLONG now = ::GetTickCount64();
        if (p.dwCurrentState != state || p.dwCheckPoint != checkPoint || p.dwWaitHint != hint) {
            const DWORD waited = static_cast<DWORD>(now - since);
            if (waited >= t.longestWaitMs) {
                t.longestWaitMs = waited;
                t.hintMs = hint;
            }
            since = now;
            state = p.dwCurrentState;
            checkPoint = p.dwCheckPoint;
            hint = p.dwWaitHint;
        }
        if (p.dwCurrentState == SERVICE_STOPPED) break;
        if (now - begin > ms) return false;
        ::Sleep(5);
    }
    t.totalMs = static_cast<DWORD>(::GetTickCount64() - begin);
    if (timing) *timing = t;
    return true;
}

// Answering a state request: a session left by a process that died may
// still be listed for a moment.
bool ServicesTest::StartScanService() {
    if (!Start(scanService.get()) || !ServiceSessionOpen(20000)) return false;
    const ULONGLONG end = ::GetTickCount64() + 20000;
    DWORD code = 0;
    while (RequestState(&code), code != 0 && ::GetTickCount64() < end) ::Sleep(100);
    return code == 0;
}

bool ServicesTest::ServiceSessionOpen(DWORD ms) {
    VR_SESSION session{};
    session.Name = L"@e2e_probe";
    session.Flags = 0x1002;
    session.Version = session.Version2 = read_client_version();
    if (::VrOpenSession(&session) != 0) return false;
    bool open = false;
    for (DWORD waited = 0; !open && waited <= ms; waited += 200) {
        DWORD ids[4] = {}, count = 4;
        open = ::VrGetSubsystemIds(session.Handle, kSsrSubsystemName, &count, ids) == 0 && count > 0;
        if (!open) ::Sleep(200);
    }
    ::VrCloseSession(session.Handle);
    return open;
}

void PrintStop(const std::string& what, const StopTiming& timing) {
    std::printf("e2e: stop %s: STOPPED after %lu ms, longest wait for progress %lu ms (wait hint %lu ms)\n",
                what.c_str(), static_cast<unsigned long>(timing.totalMs), static_cast<unsigned long>(timing.longestWaitMs),
                static_cast<unsigned long>(timing.hintMs));
}

std::wstring ScanConfig(const std::wstring& folders, const std::wstring& schedule) {
    return L"<ROZEDURI><Settings><ScanSetting><Paths all=\"false\">" + folders +
           L"</Paths><ExcludePaths enable=\"false\"/><Extensions all=\"true\"/></ScanSetting>" + schedule +
           L"<EventRegistration>"
           L"<Event name=\"EID_SP_SES_BUILD_STARTED\" enabled=\"true\"/>"
           L"<Event name=\"EID_SP_SES_BUILD_ERROR\" enabled=\"true\"/>"
           L"<Event name=\"EID_SP_SES_BUILD_COMPLETE\" enabled=\"true\"/>"
           L"<Event name=\"EID_SP_SES_SAVED\" enabled=\"true\"/></EventRegistration></Settings></ROZEDURI>";
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Element(const std::wstring& document, const wchar_t* name) {
    const std::wstring open = std::wstring(L"<") + name + L">";
    const size_t at = document.find(open);
    if (at == std::wstring::npos) return std::wstring();
    const size_t from = at + open.size();
    const size_t to = document.find(L"</", from);
    return to == std::wstring::npos ? std::wstring() : document.substr(from, to - from);
}

bool WellFormedXml(const std::wstring& path, const wchar_t* element, size_t* count) {
    const std::string bytes = vrtest::ReadFileBytes(path);
    if (bytes.empty()) {
        std::printf("e2e: %ls: nothing read (error %lu)\n", path.c_str(), ::GetLastError());
        return false;
    }
    Com::ComPtr<IStream> stream;
    *stream.put() = ::SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size()));
    Com::ComPtr<IXmlReader> reader;
    if (!stream || FAILED(::CreateXmlReader(IID_IXmlReader, reader.put_void(), nullptr)) ||
        FAILED(reader->SetInput(stream.get())))
        return false;
    size_t found = 0, elements = 0;
    XmlNodeType type = XmlNodeType_None;
    HRESULT hr = S_OK;
    while ((hr = reader->Read(&type)) == S_OK) {
        if (type != XmlNodeType_Element) continue;
        ++elements;
        const wchar_t* name = nullptr;
        if (element && SUCCEEDED(reader->GetLocalName(&name, nullptr)) && std::wcscmp(name, element) == 0) ++found;
    }
    if (count) *count = found;
    // A document cut short ends in an error, never in S_FALSE.
    if (hr == S_FALSE && elements > 0) return true;
    UINT line = 0, column = 0;
    reader->GetLineNumber(&line);
    reader->GetLinePosition(&column);
    std::printf("e2e: %ls: not well-formed (0x%08lx at line %u, column %u of %zu bytes)\n", path.c_str(),
                static_cast<unsigned long>(hr), line, column, bytes.size());
    return false;
}

std::wstring RequestState(DWORD* code) {
    std::wstring document;
    const DWORD rc = vrtest::ErrorCodeOf([&] { document = ssr_request_state(); });
    if (code) *code = rc;
    return document;
}

bool WaitStatus(const wchar_t* status, DWORD ms, std::wstring* document) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    do {
        std::wstring state = RequestState();
        if (Element(state, L"Status") == status) {
            if (document) *document = state;
            return true;
        }
        ::Sleep(20);
    } while (::GetTickCount64() < end);
    return false;
}

bool KillProcess(DWORD pid) {
    VrBase::unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!process || !::TerminateProcess(process.get(), 9)) return false;
    return ::WaitForSingleObject(process.get(), 20000) == WAIT_OBJECT_0;
}

} // namespace e2e
