// Many requests at once and garbage on the wire, through the core to the
// running scan service.
#include "e2e_support.h"

#include "sid_helpers.h"
#include "ssr_messages.h"
#include "ssr_msg_sender.h"
#include "vr_srv.h"
#include "vrsrvapi.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

using e2e::Element;
using e2e::RequestState;

// Answers a caller may get: the service's own codes and the core's for a
// receiver that is busy or slow.
const std::set<DWORD> kCoreCodes = {ERROR_BUSY, ERROR_TIMEOUT};
// Answers while the service goes away: no session of that name any more, its
// ids already unsubscribed, the receiver gone with the request, the service
// refusing work while it stops.
const std::set<DWORD> kGoneCodes = {ERROR_SERVICE_NOT_ACTIVE, ERROR_NOT_FOUND, ERROR_NOT_SUPPORTED,
                                    ERROR_PROCESS_ABORTED, ERROR_SERVICE_CANNOT_ACCEPT_CTRL};

// Counts answers by code across threads.
class CodeCounter {
public:
    void Add(DWORD code) {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_counts[code];
    }
    std::map<DWORD, unsigned> Counts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_counts;
    }
    std::string Text() {
        std::string text;
        char item[48];
        for (const auto& c : Counts()) {
            std::snprintf(item, sizeof item, "%s0x%lX: %u", text.empty() ? "" : ", ", static_cast<unsigned long>(c.first),
                          c.second);
            text += item;
        }
        return text;
    }

private:
    std::mutex m_mutex;
    std::map<DWORD, unsigned> m_counts;
};

// Runs the workers and waits for them at most ms; false on a hang (the
// threads are then left behind).
bool RunBounded(unsigned count, const std::function<void(unsigned)>& work, DWORD ms) {
    std::atomic<unsigned> done{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < count; ++t)
        threads.emplace_back([&, t] {
            work(t);
            ++done;
        });
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (done < count && ::GetTickCount64() < end) ::Sleep(50);
    const bool finished = done == count;
    for (auto& t : threads)
        if (finished) t.join();
        else t.detach();
    return finished;
}

class ServiceUnderLoad : public e2e::ServicesTest {
protected:
    vrtest::TempDir tree{L"vre2etree"};

    // A small tree so that scans end while the requests go on.
    void SetUp() override {
        e2e::ServicesTest::SetUp();
        if (HasFatalFailure()) return;
        for (int i = 0; i < 40; ++i)
            vrtest::WriteFileBytes(tree.file(L"f" + std::to_wstring(i) + L".bin"), std::string(1000 + 97 * i, 'x'));
        ASSERT_TRUE(StartScanService());
        ASSERT_EQ(vrtest::ErrorCodeOf([&] { ssr_send_full_config(Config()); }), 0u);
    }
    std::wstring Config() const { return e2e::ScanConfig(L"<Path>" + tree.path() + L"</Path>"); }
    std::wstring ExportParams(const std::wstring& path, bool dropDepotCopy = false) const {
        return L"<Export><Path>" + path + L"</Path><PostAction>" + (dropDepotCopy ? L"DeleteInternalSES" : L"Keep") +
               L"</PostAction></Export>";
    }
    bool CompleteScan() {
        if (ssr_request_scan() != 0) return false;
        const ULONGLONG end = ::GetTickCount64() + 60000;
        while (::GetTickCount64() < end) {
            if (Element(RequestState(), L"Status") == L"Complete") return true;
            ::Sleep(50);
        }
        return false;
    }
};

TEST_F(ServiceUnderLoad, EightClientsOfMixedRequestsWhileScansRun) {
    constexpr unsigned kClients = 8, kRequests = 200;
    CodeCounter codes;
    std::atomic<unsigned> scansAsked{0};
    const std::wstring config = Config();
    const ULONGLONG begin = ::GetTickCount64();
    const bool finished = RunBounded(
        kClients,
        [&](unsigned client) {
            const std::wstring target = dir.file(L"export" + std::to_wstring(client) + L".xml");
            for (unsigned i = 0; i < kRequests; ++i) {
                DWORD status = 0;
                const DWORD code = vrtest::ErrorCodeOf([&] {
                    switch ((client + i) % 4) {
                    case 0: ssr_request_state(); break;
                    case 1: ssr_send_full_config(config); break;
                    case 2: status = ssr_request_scan(); ++scansAsked; break;
                    // Now and then the depot's copy goes with the export.
                    default: ssr_request_export(ExportParams(target, i % 16 == 3)); break;
                    }
                });
                codes.Add(code ? code : status);
            }
        },
        240000);
    const ULONGLONG took = ::GetTickCount64() - begin;
    std::printf("e2e: %u requests from %u clients in %llu ms, answered by code: %s\n", kClients * kRequests, kClients,
                took, codes.Text().c_str());
    ASSERT_TRUE(finished) << "a client waited for more than 240 s: a deadlock";

    // Every answer is the request's own: done, or no document to export yet.
    unsigned answered = 0;
    for (const auto& c : codes.Counts()) {
        answered += c.second;
        EXPECT_TRUE(c.first == 0 || c.first == ERROR_NOT_READY || kCoreCodes.count(c.first))
            << "undocumented answer 0x" << std::hex << c.first;
    }
    EXPECT_EQ(answered, kClients * kRequests);
    EXPECT_GT(codes.Counts()[0], kClients * kRequests / 2);

    // Whatever ran, the service still scans and exports.
    ASSERT_TRUE(CompleteScan());
    EXPECT_TRUE(e2e::WellFormedXml(Document()));
    const std::wstring exported = dir.file(L"last.xml");
    EXPECT_EQ(vrtest::ErrorCodeOf([&] { ssr_request_export(ExportParams(exported)); }), 0u);
    EXPECT_TRUE(e2e::WellFormedXml(exported));

    // And it stops cleanly in the middle of such a load: the requests that
    // meet the stop are told the service is gone.
    CodeCounter late;
    std::atomic<bool> stopped{false};
    StopTiming timing;
    bool stopDone = false;
    const bool clientsEnded = RunBounded(
        kClients + 1,
        [&](unsigned client) {
            if (client == kClients) {
                ::Sleep(2000);
                stopDone = Stop(scanService.get(), &timing);
                stopped = true;
                return;
            }
            const std::wstring target = dir.file(L"late" + std::to_wstring(client) + L".xml");
            for (unsigned i = 0; !stopped || i % 4; ++i) {
                DWORD status = 0;
                const DWORD code = vrtest::ErrorCodeOf([&] {
                    switch ((client + i) % 4) {
                    case 0: ssr_request_state(); break;
                    case 1: ssr_send_full_config(config); break;
                    case 2: status = ssr_request_scan(); break;
                    default: ssr_request_export(ExportParams(target)); break;
                    }
                });
                late.Add(code ? code : status);
            }
        },
        120000);
    e2e::PrintStop("under load", timing);
    std::printf("e2e: requests meeting the stop answered by code: %s\n", late.Text().c_str());
    ASSERT_TRUE(clientsEnded) << "a client or the stop waited for more than 120 s: a deadlock";
    ASSERT_TRUE(stopDone);
    EXPECT_TRUE(timing.WithinHints());
    for (const auto& c : late.Counts())
        EXPECT_TRUE(c.first == 0 || c.first == ERROR_NOT_READY || kCoreCodes.count(c.first) || kGoneCodes.count(c.first))
            << "undocumented answer 0x" << std::hex << c.first;
    SERVICE_STATUS s{};
    ASSERT_TRUE(::QueryServiceStatus(scanService.get(), &s));
    EXPECT_EQ(s.dwWin32ExitCode, 0u);
}

// One random request: an id of the four, a payload of any size whose Size
// field, text and SID area are now sound, now not, and a reply buffer of any
// size. A scan is never asked for with a valid SID, so that whatever the
// service answers, its state and document must stay as they were.
struct RandomRequest {
    DWORD id = 0;
    std::vector<BYTE> data;
    DWORD replySize = 0;

    RandomRequest(std::mt19937& rng, const std::vector<BYTE>& sid) {
        static const DWORD ids[] = {VRM_SSR_SET_FULL_CONFIG, VRM_SSR_GET_STATE, VRM_SSR_START_SCAN,
                                    VRM_SSR_EXPORT_SOFTWARE_STATE};
        auto below = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
        id = ids[below(4)];
        static const unsigned sizes[][2] = {{0, 1}, {1, 9}, {60, 90}, {72, 700}, {0, 4096}};
        const auto& range = sizes[below(5)];
        data.resize(range[0] + below(range[1] - range[0]));
        for (BYTE& b : data) b = static_cast<BYTE>(rng());
        const bool sidArea = id == VRM_SSR_START_SCAN || id == VRM_SSR_EXPORT_SOFTWARE_STATE;
        const size_t textAt = id == VRM_SSR_SET_FULL_CONFIG ? 4 : 72;
        if (data.size() >= 4 && below(2)) {
            // Size: the payload's, a little off, or anything.
            DWORD size = static_cast<DWORD>(data.size());
            const unsigned how = below(3);
            if (how == 1) size += static_cast<DWORD>(below(9)) - 4;
            if (how == 2) size = static_cast<DWORD>(rng());
            std::memcpy(data.data(), &size, 4);
        }
        if (sidArea && data.size() >= 4 + sid.size() && below(2)) std::memcpy(data.data() + 4, sid.data(), sid.size());
        if (data.size() > textAt + 2 && below(2)) {
            // Text that looks like XML, ended or not by a NUL.
            static const wchar_t* pieces[] = {L"<", L">", L"/", L"ROZEDURI", L"Settings", L"Path", L"Export",
                                              L"PostAction", L"DeleteInternalSES", L"=\"true\"", L" ", L"&amp;",
                                              L"<?xml version=\"1.0\"?>", L"\xFFFF", L"\xD800"};
            std::wstring text;
            while ((text.size() + 1) * 2 < data.size() - textAt) text += pieces[below(15)];
            text.resize((data.size() - textAt) / 2 - 1);
            text.push_back(below(4) ? L'\0' : L'x');
            std::memcpy(data.data() + textAt, text.data(), text.size() * 2);
        }
        if (id == VRM_SSR_START_SCAN && data.size() > 4) data[4] = static_cast<BYTE>(2 + below(200));
        static const unsigned replies[][2] = {{0, 13}, {250, 270}, {4096, 4097}, {0, 8192}};
        const auto& reply = replies[below(4)];
        replySize = reply[0] + below(reply[1] - reply[0]);
    }
};

// Whether the service's answer is one it documents for this request: each
// message has its own checks before its handler runs (a reply buffer is
// always given, so only its size can fail), and its own statuses after.
constexpr DWORD kXmlParseFailed = 0xE6240001;  // the system's own code for XML that does not parse

bool Documented(DWORD id, DWORD result, const std::vector<BYTE>& reply) {
    if (kCoreCodes.count(result)) return true;
    DWORD status = 0;
    std::memcpy(&status, reply.data() + (id == VRM_SSR_GET_STATE ? 4 : 0), 4);
    switch (id) {
    case VRM_SSR_GET_STATE:
        // Any payload will do; only the reply's size is checked.
        if (result == ERROR_INSUFFICIENT_BUFFER || result == ERROR_BUFFER_OVERFLOW) return true;
        return result == 0 && status == 0;
    case VRM_SSR_SET_FULL_CONFIG:
        // Size and text, the caller's rights, the reply's size; then the
        // document's parse or its content.
        if (result == ERROR_INVALID_PARAMETER || result == ERROR_ACCESS_DENIED || result == ERROR_INSUFFICIENT_BUFFER)
            return true;
        return result == 0 &&
               (status == ERROR_INVALID_PARAMETER || status == ERROR_PATH_NOT_FOUND || status == kXmlParseFailed);
    case VRM_SSR_START_SCAN:
        // Never sent with a valid SID, so never let through to the handler.
        return result == ERROR_INVALID_PARAMETER || result == ERROR_INSUFFICIENT_BUFFER;
    case VRM_SSR_EXPORT_SOFTWARE_STATE:
        if (result == ERROR_INVALID_PARAMETER || result == ERROR_ACCESS_DENIED || result == ERROR_INSUFFICIENT_BUFFER)
            return true;
        // The parameters' XML load or lookup failing.
        return result == 0 && (status == ERROR_PATH_NOT_FOUND || status == kXmlParseFailed ||
                                status == static_cast<DWORD>(E_FAIL) || (status & 0xFFFFF000u) == 0xC00CE000u);
    default: return false;
    }
}

TEST_F(ServiceUnderLoad, RandomPayloadsLeaveTheServiceAndItsDocumentAsTheyWere) {
    ASSERT_TRUE(CompleteScan());
    const std::wstring stateBefore = RequestState();
    const std::string documentBefore = vrtest::ReadFileBytes(Document());
    const std::string configBefore = vrtest::ReadFileBytes(LastConfig());
    const DWORD pid = ScanPid();
    ASSERT_FALSE(documentBefore.empty());

    constexpr unsigned kSenders = 4, kPayloads = 20000;
    const std::vector<BYTE> sid = get_current_user_sid();
    CodeCounter results;
    std::atomic<unsigned> tried{0}, odd{0};
    std::mutex firstOddMutex;
    std::string firstOdd;
    const unsigned seed = static_cast<unsigned>(::GetTickCount64());
    const ULONGLONG begin = ::GetTickCount64();
    const bool finished = RunBounded(
        kSenders,
        [&](unsigned sender) {
            VR_SESSION session{};
            session.Name = L"@e2e_random";
            session.Flags = 0x1002;
            session.Version = session.Version2 = read_client_version();
            if (::VrOpenSession(&session) != 0) return;
            VrBase::scope_exit close([&] { ::VrCloseSession(session.Handle); });
            DWORD to = 0, count = 1;
            if (::VrGetSubsystemIds(session.Handle, kSsrSubsystemName, &count, &to) != 0 || count == 0) return;
            std::mt19937 rng(seed + sender);
            for (unsigned i = sender; i < kPayloads; i += kSenders) {
                RandomRequest r(rng, sid);
                std::vector<BYTE> reply(r.replySize + 16, 0);
                DWORD replySize = r.replySize;
                const DWORD result = ::VrSendMessage(session.Handle, to, r.id, static_cast<DWORD>(r.data.size()),
                                                     r.data.empty() ? nullptr : r.data.data(), &replySize, reply.data());
                ++tried;
                results.Add(result);
                if (!Documented(r.id, result, reply) && odd++ == 0) {
                    std::lock_guard<std::mutex> lock(firstOddMutex);
                    char text[160];
                    DWORD status = 0;
                    std::memcpy(&status, reply.data(), 4);
                    std::snprintf(text, sizeof text, "id 0x%lX, %zu bytes, reply %lu: result %lu, first reply word 0x%lX",
                                  static_cast<unsigned long>(r.id), r.data.size(), static_cast<unsigned long>(r.replySize),
                                  static_cast<unsigned long>(result), static_cast<unsigned long>(status));
                    firstOdd = text;
                }
            }
        },
        300000);
    const ULONGLONG took = ::GetTickCount64() - begin;
    std::printf("e2e: random payloads tried: %u in %llu ms (%.2f ms each, %u senders, seed %u), answered by code: %s\n",
                tried.load(), took, tried ? static_cast<double>(took) * kSenders / tried : 0.0, kSenders, seed,
                results.Text().c_str());
    ASSERT_TRUE(finished) << "a sender waited for more than 300 s";
    EXPECT_EQ(tried.load(), kPayloads);
    EXPECT_EQ(odd.load(), 0u) << "answers outside the documented codes, the first: " << firstOdd;

    // Well-formed exports to paths that cannot or must not take the copy:
    // refused with the file system's code, the depot's own files above all.
    // (A scan start with a valid SID is left out: it would replace the
    // document compared below.)
    struct BadTarget {
        const char* what;
        std::wstring path;
    };
    const BadTarget targets[] = {
        {"missing folder", dir.file(L"no-such-folder\\passport.xml")},
        {"the depot's document", Document()},
        {"the depot's configuration", LastConfig()},
        {"the depot folder", DepotFile(L"")},
        {"a partial copy in the depot", Document() + L".partial"},
        {"a device name", L"COM9"},
        {"a relative path", L"no-such-folder\\passport.xml"},
        {"a UNC path", L"\\\\no-such-host.invalid\\share\\passport.xml"},
        {"an overlong path", dir.path() + [] {
             std::wstring levels;
             for (int i = 0; i < 3500; ++i) levels += L"\\level" + std::to_wstring(i);
             return levels;
         }() + L"\\passport.xml"},
    };
    std::string exportAnswers;
    for (const BadTarget& t : targets) {
        const DWORD code = vrtest::ErrorCodeOf([&] { ssr_request_export(ExportParams(t.path)); });
        exportAnswers += std::string(exportAnswers.empty() ? "" : ", ") + t.what + " " + std::to_string(code);
        EXPECT_NE(code, 0u) << t.what;
        EXPECT_FALSE(kCoreCodes.count(code)) << t.what << ": " << code;
        EXPECT_EQ(vrtest::ReadFileBytes(Document()) == documentBefore, true) << t.what;
        EXPECT_EQ(vrtest::ReadFileBytes(LastConfig()) == configBefore, true) << t.what;
    }
    EXPECT_FALSE(vrtest::FileExists(Document() + L".partial"));
    std::printf("e2e: exports to bad paths answered: %s\n", exportAnswers.c_str());

    // Alive, the same process, and nothing changed.
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ScanPid(), pid);
    EXPECT_EQ(RequestState(), stateBefore);
    EXPECT_EQ(vrtest::ReadFileBytes(Document()) == documentBefore, true);
    EXPECT_EQ(vrtest::ReadFileBytes(LastConfig()) == configBefore, true);
}

} // namespace
