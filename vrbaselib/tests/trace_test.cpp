#include "vrbase/trace.h"

#include "../src/trace_impl.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

VR_DEFINE_MODULE_TRACE(L"VrBaseTraceTests")

namespace {

const wchar_t kTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\vrcc0\\Trace";

// Every case starts from no trace configuration and a private Temp folder.
class TraceTest : public ::testing::Test {
protected:
    vrtest::TempDir dir;
    vrtest::RegKeyScope key{kTraceKey};
    vrtest::EnvScope temp{L"Temp", dir.path()};

    std::vector<std::string> Lines(const std::wstring& name) {
        return vrtest::SplitLines(vrtest::ReadFileBytes(dir.file(name)));
    }
};

TEST_F(TraceTest, NoKeyWritesNothingAnywhere) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTraceKey);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kTraceKey);
    VrBase::CVrTrace trace(L"VrSSRSrv");
    EXPECT_FALSE(trace.IsActive());
    EXPECT_FALSE(trace.IsLevelEnabled(8));
    VrBase::CTracePrefix(trace, 8, L"ServiceMain").Write(L"nothing %d", 1);
    EXPECT_FALSE(vrtest::FileExists(dir.file(L"VrSSRSrv.log")));
}

// Warnings and errors only, into %Temp%\VrSSRSrv.log, emptied at start,
// date and time without milliseconds, the marker right after the time.
TEST_F(TraceTest, WarningsAndErrorsGoToTempFileWithDateAndTime) {
    key.SetDword(nullptr, L"EnableMask", 0x0C);
    key.SetDword(nullptr, L"ParamsMask", 0x3001);
    vrtest::WriteFileBytes(dir.file(L"VrSSRSrv.log"), "old content\r\n");

    VrBase::CVrTrace trace(L"VrSSRSrv");
    ASSERT_TRUE(trace.IsActive());
    EXPECT_EQ(trace.FilePath(), dir.file(L"VrSSRSrv.log"));
    VrBase::CTracePrefix(trace, 1, L"ServiceMain").Write(L"info %d", 1);
    VrBase::CTracePrefix(trace, 2, L"ServiceMain").Write(L"detail %d", 2);
    VrBase::CTracePrefix(trace, 4, L"ServiceMain").Write(L"warning %ls", L"text");
    VrBase::CTracePrefix(trace, 8, L"ServiceMain").Write(L"failed with 0x%08X", 5u);

    auto lines = Lines(L"VrSSRSrv.log");
    ASSERT_EQ(lines.size(), 2u);
    const std::regex warn(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\dW> ServiceMain warning text$)");
    const std::regex err(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\dE> ServiceMain failed with 0x00000005$)");
    EXPECT_TRUE(std::regex_match(lines[0], warn)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], err)) << lines[1];
    std::printf("trace line: %s\n", lines[1].c_str());
}

TEST_F(TraceTest, EveryOptionalFieldInItsPlace) {
    key.SetDword(nullptr, L"EnableMask", 0xFF);
    key.SetDword(nullptr, L"ParamsMask", 0x1 | 0x400 | 0x800 | 0x1000 | 0x2000 | 0x4000 | 0x8000);
    VrBase::CVrTrace trace(L"FieldsTrace");
    VrBase::CTracePrefix(trace, 8, L"Fn").Write(L"m");
    VrBase::CTracePrefix(trace, 1, nullptr).Write(L"plain");

    auto lines = Lines(L"FieldsTrace.log");
    ASSERT_EQ(lines.size(), 2u);
    const std::regex full(
        R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\.\d{3}\[FieldsTrace\] \[[0-9A-F]{8}\] \[([0-9A-F]+):([0-9A-F]+)\] E> Fn m$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, full)) << lines[0];
    EXPECT_EQ(std::stoul(m[1].str(), nullptr, 16), ::GetCurrentProcessId());
    EXPECT_EQ(std::stoul(m[2].str(), nullptr, 16), ::GetCurrentThreadId());
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"(\] plain$)"))) << lines[1];
}

// Several modules share VrTrace.log: never emptied, no separator, each line
// names its module.
TEST_F(TraceTest, CommonFileWithoutNameIsSharedAndKept) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    key.SetDword(nullptr, L"CommonFileFlag", 1);
    key.SetString(nullptr, L"TracePath", dir.path());  // no trailing backslash: one is added
    vrtest::WriteFileBytes(dir.file(L"VrTrace.log"), "earlier\r\n");

    VrBase::CVrTrace a(L"ModA");
    VrBase::CVrTrace b(L"ModB");
    VrBase::CTracePrefix(a, 1, L"F").Write(L"from a");
    VrBase::CTracePrefix(b, 1, L"G").Write(L"from b");

    auto lines = Lines(L"VrTrace.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_EQ(lines[1], "[ModA] F from a");
    EXPECT_EQ(lines[2], "[ModB] G from b");
}

TEST_F(TraceTest, CommonFileNameFromTheModuleSubkey) {
    std::wstring path = dir.file(L"shared-trace.txt");
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    key.SetDword(L"ModC", L"CommonFileFlag", 1);
    key.SetString(L"ModC", L"CommonFileName", path);
    VrBase::CVrTrace c(L"ModC");
    EXPECT_EQ(c.FilePath(), path);
    VrBase::CTracePrefix(c, 1, L"F").Write(L"x");
    EXPECT_EQ(vrtest::ReadFileBytes(path), "[ModC] F x\r\n");
}

TEST_F(TraceTest, SubkeyOverridesAndForceValuesOverrideBoth) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    key.SetDword(L"ModD", L"EnableMask", 8);
    key.SetDword(L"ModD", L"ContextMask", 7);
    {
        VrBase::CVrTrace d(L"ModD");
        EXPECT_FALSE(d.IsLevelEnabled(1));
        EXPECT_TRUE(d.IsLevelEnabled(8));
        EXPECT_TRUE(d.ContextEquals(7));
    }
    key.SetDword(nullptr, L"ForceEnableMask", 2);
    key.SetDword(nullptr, L"DisableContextFlag", 1);
    VrBase::CVrTrace d(L"ModD");
    EXPECT_TRUE(d.IsLevelEnabled(2));
    EXPECT_FALSE(d.IsLevelEnabled(8));
    EXPECT_TRUE(d.ContextEquals(0xFFFFFFFF));
}

TEST(TraceFileName, ExtensionRules) {
    EXPECT_EQ(VrBase::TraceFileName(L"abc.txt"), L"abc.txt");
    EXPECT_EQ(VrBase::TraceFileName(L"abc.trace"), L"abc.trace.log");
    EXPECT_EQ(VrBase::TraceFileName(L"abc."), L"abc.log");
    EXPECT_EQ(VrBase::TraceFileName(L"VrSSRSrv"), L"VrSSRSrv.log");
    EXPECT_EQ(VrBase::TraceFileName(L"a.b.cde"), L"a.b.cde");
}

TEST_F(TraceTest, KeepFlagAppendsSeparatorToOldFile) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x101);
    vrtest::WriteFileBytes(dir.file(L"abc.trace.log"), "before\r\n");
    VrBase::CVrTrace t(L"abc.trace");
    VrBase::CTracePrefix(t, 1, L"F").Write(L"after");
    std::string separator = "\r\n" + std::string(68, '*') + "\r\n\r\n";
    EXPECT_EQ(vrtest::ReadFileBytes(dir.file(L"abc.trace.log")), "before\r\n" + separator + "F after\r\n");
}

TEST_F(TraceTest, LongMessagesAndCodePage1251) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    VrBase::CVrTrace t(L"LongTrace");
    std::wstring big(5000, L'x');
    VrBase::CTracePrefix(t, 1, L"F").Write(L"<%ls>", big.c_str());
    VrBase::CTracePrefix(t, 1, L"F").Write(L"%ls", L"\x041F\x0440\x0438\x0432\x0435\x0442");  // "Привет"
    VrBase::CTracePrefix(t, 1, L"F").Write("narrow %d", 42);

    auto lines = Lines(L"LongTrace.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "F <" + std::string(5000, 'x') + ">");
    EXPECT_EQ(lines[1], "F \xCF\xF0\xE8\xE2\xE5\xF2");
    EXPECT_EQ(lines[2], "F narrow 42");
}

// The line's date and time are the local clock read around the write, with
// the day before the month.
TEST_F(TraceTest, DateAndTimeAreTheLocalClockDayFirst) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1 | 0x400 | 0x1000 | 0x2000);
    VrBase::CVrTrace t(L"ClockTrace");
    SYSTEMTIME before, after;
    ::GetLocalTime(&before);
    VrBase::CTracePrefix(t, 1, L"F").Write(L"now");
    ::GetLocalTime(&after);

    auto lines = Lines(L"ClockTrace.log");
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, std::regex(R"(^(\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d)\.(\d{3})F now$)")))
        << lines[0];
    SYSTEMTIME written{};
    written.wDay = static_cast<WORD>(std::stoi(m[1].str()));
    written.wMonth = static_cast<WORD>(std::stoi(m[2].str()));
    written.wYear = static_cast<WORD>(std::stoi(m[3].str()));
    written.wHour = static_cast<WORD>(std::stoi(m[4].str()));
    written.wMinute = static_cast<WORD>(std::stoi(m[5].str()));
    written.wSecond = static_cast<WORD>(std::stoi(m[6].str()));
    written.wMilliseconds = static_cast<WORD>(std::stoi(m[7].str()));
    auto ticks = [](const SYSTEMTIME& st) {
        FILETIME ft{};
        EXPECT_TRUE(::SystemTimeToFileTime(&st, &ft)) << "a valid calendar time";
        return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    before.wDayOfWeek = after.wDayOfWeek = 0;
    EXPECT_LE(ticks(before), ticks(written)) << lines[0];
    EXPECT_LE(ticks(written), ticks(after)) << lines[0];
}

// A narrow message whose argument has no form in the code page is one short
// line, not a buffer's worth of nothing; the next message is untouched.
TEST_F(TraceTest, UnconvertibleNarrowArgumentGivesAShortLine) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    VrBase::CVrTrace t(L"ConvTrace");
    VrBase::CTracePrefix(t, 1, L"F").Write("name %ls", L"\x4E2D\x6587\xD800");
    VrBase::CTracePrefix(t, 1, L"F").Write("next %d", 7);

    const std::string bytes = vrtest::ReadFileBytes(dir.file(L"ConvTrace.log"));
    ASSERT_LT(bytes.size(), 200u);
    auto lines = vrtest::SplitLines(bytes);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "F name %ls [arguments cannot be formatted]");
    EXPECT_EQ(lines[1], "F next 7");
}

TEST_F(TraceTest, LastErrorSurvivesEveryCall) {
    key.SetDword(nullptr, L"EnableMask", 0xFF);
    key.SetDword(nullptr, L"ParamsMask", 0x1 | 0x4000);
    key.SetString(nullptr, L"TracePath", L"Q:\\no\\such\\folder");  // the file write fails too
    VrBase::CVrTrace t(L"ErrTrace");
    ::SetLastError(1234);
    VrBase::CTracePrefix(t, 8, L"F").Write(L"x %d", 1);
    EXPECT_EQ(::GetLastError(), 1234u);
    ::SetLastError(4321);
    t.Dump(1, L"t", "abc", 3, 0);
    t.Reload();
    EXPECT_EQ(::GetLastError(), 4321u);
}

TEST_F(TraceTest, HexDumpLayout) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    VrBase::CVrTrace t(L"DumpTrace");
    unsigned char bytes[40];
    for (int i = 0; i < 40; ++i) bytes[i] = static_cast<unsigned char>(i);
    t.Dump(1, L"bytes", bytes, sizeof(bytes), 0);
    t.Dump(1, L"dwords", bytes, 8, VrBase::TRACE_DUMP_DWORDS);

    auto lines = Lines(L"DumpTrace.log");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "bytes");
    EXPECT_EQ(lines[1],
              " 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F - 10 11 12 13 14 15 16 17 - 18 19 1A 1B 1C 1D 1E 1F");
    EXPECT_EQ(lines[2], " 20: 20 21 22 23 24 25 26 27");
    EXPECT_EQ(lines[3], "dwords");
    EXPECT_EQ(lines[4], " 00: 03020100 07060504");
}

// One append per line: concurrent writers never tear a line.
TEST_F(TraceTest, EightThreadsNeverTearALine) {
    key.SetDword(nullptr, L"EnableMask", 1);
    key.SetDword(nullptr, L"ParamsMask", 0x1 | 0x800);
    VrBase::CVrTrace t(L"ThreadTrace");
    const std::wstring pad(120, L'p');
    std::vector<std::thread> threads;
    for (int n = 0; n < 8; ++n)
        threads.emplace_back([&, n] {
            for (int i = 0; i < 1000; ++i) VrBase::CTracePrefix(t, 1, L"W").Write(L"t%d i%04d %ls end", n, i, pad.c_str());
        });
    for (auto& th : threads) th.join();

    auto lines = Lines(L"ThreadTrace.log");
    EXPECT_EQ(lines.size(), 8000u);
    const std::regex shape(R"(^\[[0-9A-F]+:[0-9A-F]+\] W t([0-7]) i(\d{4}) p{120} end$)");
    std::vector<int> next(8, 0);
    for (const std::string& line : lines) {
        std::smatch m;
        if (!std::regex_match(line, m, shape)) { ADD_FAILURE() << line; continue; }
        int n = std::stoi(m[1].str());
        EXPECT_EQ(std::stoi(m[2].str()), next[n]++) << "lines of one thread stay in order";
    }
}

// Anyone who can open the trace file can take the lock its writers share
// and keep it. Trace calls must come back anyway, losing their lines, and
// the next line that gets through says how many were lost.
TEST_F(TraceTest, AHeldFileLockCostsLinesNeverTheCaller) {
    key.SetDword(nullptr, L"EnableMask", 0xFF);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    VrBase::CVrTrace trace(L"HeldTrace");
    VrBase::CTracePrefix(trace, 1, L"F").Write(L"before");

    VrBase::unique_hfile holder(::CreateFileW(dir.file(L"HeldTrace.log").c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    OVERLAPPED sentinel{};
    sentinel.Offset = 0xFFFFFFFE;
    sentinel.OffsetHigh = 0x7FFFFFFF;
    ASSERT_TRUE(::LockFileEx(holder.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &sentinel));

    // On a writer that waits for the lock these threads never end; the
    // generous limit only keeps the test from hanging.
    constexpr int kThreads = 4, kLinesEach = 25;
    std::vector<std::thread> threads;
    VrBase::unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> left{kThreads};
    for (int n = 0; n < kThreads; ++n)
        threads.emplace_back([&, n] {
            for (int i = 0; i < kLinesEach; ++i) VrBase::CTracePrefix(trace, 8, L"F").Write(L"held %d %d", n, i);
            if (--left == 0) ::SetEvent(done.get());
        });
    const bool returned = ::WaitForSingleObject(done.get(), 60000) == WAIT_OBJECT_0;
    ::UnlockFileEx(holder.get(), 0, 1, 0, &sentinel);
    for (auto& th : threads) th.join();
    ASSERT_TRUE(returned) << "trace calls waited for a lock another process holds";

    VrBase::CTracePrefix(trace, 1, L"F").Write(L"after");
    auto lines = Lines(L"HeldTrace.log");
    ASSERT_EQ(lines.size(), 3u) << vrtest::ReadFileBytes(dir.file(L"HeldTrace.log"));
    EXPECT_EQ(lines[0], "F before");
    EXPECT_EQ(lines[1], "W> 100 trace line(s) dropped before this one: the trace file was locked by another process, "
                        "or a link");
    EXPECT_EQ(lines[2], "F after");
}

// Two writers of one file (two processes tracing to it) take the lock in
// turns. A line that once found it held must not leave the writer trying only
// once for a while after the lock is free again: every brief turn of the other
// writer would cost a line. Only a holder that keeps the lock costs lines.
TEST_F(TraceTest, AShortTurnOfAnotherWriterCostsNoLineOnceTheLockWasFree) {
    key.SetDword(nullptr, L"EnableMask", 0xFF);
    key.SetDword(nullptr, L"ParamsMask", 0x1);
    VrBase::CVrTrace trace(L"TurnTrace");
    VrBase::CTracePrefix(trace, 1, L"F").Write(L"before");
    VrBase::unique_hfile other(::CreateFileW(dir.file(L"TurnTrace.log").c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other);
    OVERLAPPED sentinel{};
    sentinel.Offset = 0xFFFFFFFE;
    sentinel.OffsetHigh = 0x7FFFFFFF;
    ASSERT_TRUE(::LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &sentinel));
    VrBase::CTracePrefix(trace, 1, L"F").Write(L"lost");
    ASSERT_TRUE(::UnlockFileEx(other.get(), 0, 1, 0, &sentinel));

    // The other writer takes its turn just before each line and ends it a
    // moment later, well within one line's wait. A round is lost only when
    // that moment stretches past the wait, so one of a few must get through.
    int through = 0;
    for (int round = 0; round < 5 && through == 0; ++round) {
        VrBase::CTracePrefix(trace, 1, L"F").Write(L"free %d", round);
        ASSERT_TRUE(::LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &sentinel));
        std::thread turn([&] {
            ::Sleep(2);
            ::UnlockFileEx(other.get(), 0, 1, 0, &sentinel);
        });
        VrBase::CTracePrefix(trace, 1, L"F").Write(L"after turn %d", round);
        turn.join();
        for (const std::string& line : Lines(L"TurnTrace.log"))
            if (line.rfind("F after turn", 0) == 0) ++through;
    }
    EXPECT_GT(through, 0) << vrtest::ReadFileBytes(dir.file(L"TurnTrace.log"));
}

// A LocalSystem writer of a folder where users create files (the default
// trace folder is %Temp%, C:\Windows\Temp for the service): a hard link
// planted at the trace name leads to a file of someone else's choosing. It
// is neither emptied nor written; its lines are counted as dropped.
TEST_F(TraceTest, AHardLinkAtTheTraceNameIsNeitherEmptiedNorWritten) {
    key.SetDword(nullptr, L"EnableMask", 0xFF);
    key.SetDword(nullptr, L"ParamsMask", 0x1);  // empties the file at start
    const std::wstring victim = dir.file(L"victim.dat");
    vrtest::WriteFileBytes(victim, "precious\r\n");
    ASSERT_TRUE(::CreateHardLinkW(dir.file(L"LinkTrace.log").c_str(), victim.c_str(), nullptr));
    VrBase::CVrTrace trace(L"LinkTrace");
    for (int i = 0; i < 3; ++i) VrBase::CTracePrefix(trace, 8, L"F").Write(L"line %d", i);
    EXPECT_EQ(vrtest::ReadFileBytes(victim), "precious\r\n");

    // Once the name is a file of its own again, lines go in, the count first.
    ASSERT_TRUE(::DeleteFileW(dir.file(L"LinkTrace.log").c_str()));
    VrBase::CTracePrefix(trace, 8, L"F").Write(L"through");
    auto lines = Lines(L"LinkTrace.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "W> 3 trace line(s) dropped before this one: the trace file was locked by another process, "
                        "or a link");
    EXPECT_EQ(lines[1], "E> F through");
    EXPECT_EQ(vrtest::ReadFileBytes(victim), "precious\r\n");
}

} // namespace

namespace {

// Entry and exit of a function, as the agent proxy traces them.
TEST(TraceFuncInOut, FramesTheFunctionWithInAndOutLines) {
    vrtest::TempDir dir;
    std::string log;
    {
        vrtest::TraceToFolder trace(dir.path());
        {
            ::SetLastError(4321);
            VrBase::CTraceFuncInOut scope(L"CreateComponentProxy");
            EXPECT_EQ(::GetLastError(), 4321u) << "entry keeps the caller's last error";
            ::SetLastError(1234);
        }
        EXPECT_EQ(::GetLastError(), 1234u) << "exit keeps the caller's last error";
        { VrBase::CTraceFuncInOut unnamed; }
        log = trace.Read(L"VrBaseTraceTests");
    }
    const std::vector<std::string> expected = {
        "CTraceFuncInOut::CTraceFuncInOut  ",
        "CTraceFuncInOut::CTraceFuncInOut  CreateComponentProxy(in) >> ",
        "CTraceFuncInOut::~CTraceFuncInOut  CreateComponentProxy(out) << ",
        "CTraceFuncInOut::~CTraceFuncInOut  ",
        "CTraceFuncInOut::CTraceFuncInOut  ",
        "CTraceFuncInOut::CTraceFuncInOut  !!! CODE ERROR !!!(in) >> ",
        "CTraceFuncInOut::~CTraceFuncInOut  !!! CODE ERROR !!!(out) << ",
        "CTraceFuncInOut::~CTraceFuncInOut  ",
    };
    EXPECT_EQ(vrtest::SplitLines(log), expected);
}

} // namespace
