// The binary contract of VrSSRProxy.dll as the agent sees it. The interface
// and the stream record are declared here, from the agent's side, on
// purpose: the project's own headers must not be what makes this pass.
#include "support/test_support.h"
#include "vrbase/scope.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace {

struct Stream;
#pragma pack(push, 1)
struct StreamRecord {
    unsigned int type;
    const void* data;
    unsigned int size;
};
#pragma pack(pop)
static_assert(sizeof(StreamRecord) == 16, "packed 16-byte record");

struct Stream {
    long(__stdcall* free)(Stream*);
    long(__stdcall* read)(Stream*, void*, unsigned int, unsigned int*);
    long(__stdcall* getInternalData)(Stream*, StreamRecord*);
};

using Entry = void*;
// Seventeen pointers; each takes the table itself first.
struct Component {
    Entry entry[17];
};
template <class Fn>
Fn at(Component* c, int i) {
    return reinterpret_cast<Fn>(c->entry[i]);
}
using NoArgs = long(__stdcall*)(Component*);
using FreeMemoryFn = long(__stdcall*)(Component*, void*);
using GetNameFn = long(__stdcall*)(Component*, wchar_t**);
using GetStateFn = long(__stdcall*)(Component*, const wchar_t*, Stream**);
using EnumFn = long(__stdcall*)(Component*, unsigned int, wchar_t**);
using SetConfigurationFn = long(__stdcall*)(Component*, const wchar_t*, const wchar_t*, Stream*);
using InvokeCommandFn = long(__stdcall*)(Component*, const wchar_t*, Stream*, const wchar_t*, Stream**);
using CreateFn = Component*(__stdcall*)(const wchar_t*);

constexpr long kNotImpl = static_cast<long>(0x80004001);
constexpr long kPointer = static_cast<long>(0x80004003);
constexpr long kInvalidArg = static_cast<long>(0x80070057);
constexpr long kNoMoreItems = static_cast<long>(0x80070103);
constexpr long kNotFound = static_cast<long>(0x80070002);

// An agent-side stream with any record the test wants.
struct AgentStream : Stream {
    StreamRecord record{};
    explicit AgentStream(unsigned type, const void* data, unsigned size) {
        free = [](Stream*) -> long { return 0; };
        read = [](Stream*, void*, unsigned, unsigned*) -> long { return kNotImpl; };
        getInternalData = [](Stream* s, StreamRecord* r) -> long {
            *r = static_cast<AgentStream*>(s)->record;
            return 0;
        };
        record = {type, data, size};
    }
};

class Contract : public ::testing::Test {
protected:
    VrBase::unique_hmodule dll{::LoadLibraryW((vrtest::ModuleFolder() + L"VrSSRProxy.dll").c_str())};
    CreateFn create = nullptr;
    Component* c = nullptr;

    void SetUp() override {
        ASSERT_TRUE(dll) << ::GetLastError();
        FARPROC found = ::GetProcAddress(dll.get(), "CreateComponentProxy");
        create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(found));
        ASSERT_NE(create, nullptr);
        c = create(L"ROZEDURI");
        ASSERT_NE(c, nullptr);
    }
    void TearDown() override {
        if (c) {
            EXPECT_EQ(at<NoArgs>(c, 16)(c), 0);
        }
    }
};

TEST_F(Contract, ComponentNameIsMatchedIgnoringCaseAndExactly) {
    Component* lower = create(L"rozeduri");
    ASSERT_NE(lower, nullptr);
    EXPECT_EQ(at<NoArgs>(lower, 16)(lower), 0);
    EXPECT_EQ(create(L"ROZEDURIX"), nullptr);
    EXPECT_EQ(create(L"ROZEDUR"), nullptr);
    EXPECT_EQ(create(nullptr), nullptr);
}

TEST_F(Contract, FixedEntriesInTheirPlaces) {
    for (int i : {0, 1, 2, 3}) EXPECT_EQ(at<NoArgs>(c, i)(c), 0) << "entry " << i;
    for (int i : {9, 12, 15}) EXPECT_EQ(at<NoArgs>(c, i)(c), kNotImpl) << "entry " << i;
    EXPECT_EQ(at<NoArgs>(c, 14)(c), kNotFound);
    // No entry touches the object behind a null interface.
    for (int i : {0, 1, 2, 3, 9, 12, 14, 15, 16}) EXPECT_EQ(at<NoArgs>(c, i)(nullptr), kPointer) << "entry " << i;
    EXPECT_EQ(at<FreeMemoryFn>(c, 4)(nullptr, nullptr), kPointer);
    EXPECT_EQ(at<GetNameFn>(c, 5)(nullptr, nullptr), kPointer);
    EXPECT_EQ(at<GetStateFn>(c, 6)(nullptr, L"status", nullptr), kPointer);
    EXPECT_EQ(at<EnumFn>(c, 7)(nullptr, 0, nullptr), kPointer);
    EXPECT_EQ(at<EnumFn>(c, 10)(nullptr, 0, nullptr), kPointer);
    EXPECT_EQ(at<SetConfigurationFn>(c, 11)(nullptr, L"full", L"1", nullptr), kPointer);
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(nullptr, L"BuildSES", nullptr, nullptr, nullptr), kPointer);
}

TEST_F(Contract, NamesAndTheirRelease) {
    wchar_t* name = nullptr;
    ASSERT_EQ(at<GetNameFn>(c, 5)(c, &name), 0);
    EXPECT_STREQ(name, L"ROZEDURI");
    EXPECT_EQ(at<FreeMemoryFn>(c, 4)(c, name), 0);
    EXPECT_EQ(at<GetNameFn>(c, 5)(c, nullptr), kInvalidArg);
    EXPECT_EQ(at<FreeMemoryFn>(c, 4)(c, nullptr), kPointer);

    wchar_t* set = nullptr;
    ASSERT_EQ(at<EnumFn>(c, 7)(c, 0, &set), 0);
    EXPECT_STREQ(set, L"status");
    EXPECT_EQ(at<FreeMemoryFn>(c, 4)(c, set), 0);
    EXPECT_EQ(at<EnumFn>(c, 7)(c, 0, nullptr), kInvalidArg);
    // The index is judged before the pointer.
    EXPECT_EQ(at<EnumFn>(c, 7)(c, 1, nullptr), kNoMoreItems);
    wchar_t* none = reinterpret_cast<wchar_t*>(0x1);
    EXPECT_EQ(at<EnumFn>(c, 10)(c, 0, &none), kNoMoreItems);
    EXPECT_EQ(none, reinterpret_cast<wchar_t*>(0x1)) << "nothing handed out";
}

TEST_F(Contract, RefusedArgumentsLeaveTheOutStreamAlone) {
    Stream* const sentinel = reinterpret_cast<Stream*>(0x1234);
    Stream* out = sentinel;
    EXPECT_EQ(at<GetStateFn>(c, 6)(c, L"Status", &out), kInvalidArg);
    EXPECT_EQ(at<GetStateFn>(c, 6)(c, nullptr, &out), kInvalidArg);
    EXPECT_EQ(at<GetStateFn>(c, 6)(c, L"status", nullptr), kInvalidArg);
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, L"buildses", nullptr, L"key", &out), kInvalidArg);
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, L"Unknown", nullptr, nullptr, &out), kInvalidArg);
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, nullptr, nullptr, nullptr, &out), kInvalidArg);
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, L"BuildSES", nullptr, nullptr, nullptr), kInvalidArg);
    EXPECT_EQ(out, sentinel);

    AgentStream text(2, L"<Settings/>", 24);
    EXPECT_EQ(at<SetConfigurationFn>(c, 11)(c, nullptr, L"1", &text), kInvalidArg);
    EXPECT_EQ(at<SetConfigurationFn>(c, 11)(c, L"full", nullptr, &text), kInvalidArg);
    EXPECT_EQ(at<SetConfigurationFn>(c, 11)(c, L"full", L"1", nullptr), kInvalidArg);
    AgentStream unknownType(4, L"<Settings/>", 24);
    EXPECT_EQ(at<SetConfigurationFn>(c, 11)(c, L"full", L"1", &unknownType), kInvalidArg);
    // An unreadable parameter stream fails the command before it runs.
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, L"BuildSES", &unknownType, nullptr, &out), kInvalidArg);
    EXPECT_EQ(out, sentinel);

    // The record is read at its packed offsets: a path at offset 4 is
    // followed (its file is missing: that failure comes first), and six
    // bytes of text without a NUL are read and the command judged after.
    const wchar_t missing[] = L"C:\\windows\\no-such-parameters.xml";
    AgentStream path(3, missing, sizeof(missing));
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, L"BuildSES", &path, nullptr, &out), kNotFound);
    const wchar_t abcx[] = {L'a', L'b', L'c', L'x'};
    AgentStream sized(1, abcx, 6);
    EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, L"Unknown", &sized, nullptr, &out), kInvalidArg);
    EXPECT_EQ(out, sentinel);
}

// A file stream names its file the way any Windows program may: relative to
// the agent's current folder, with forward slashes, or through "..". The
// command is judged only once the file is read, so an unknown command
// answers 0x80070057 exactly when the file was found.
TEST_F(Contract, FileStreamTakesEveryFormOfAPath) {
    vrtest::TempDir dir{L"vrstream"};
    ::CreateDirectoryW(dir.file(L"sub").c_str(), nullptr);
    vrtest::WriteFileBytes(dir.file(L"params.xml"), "<P>\xD0\x94</P>");
    wchar_t before[MAX_PATH * 2] = {};
    ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH * 2, before), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryW(dir.path().c_str()));
    VrBase::scope_exit back([&] { ::SetCurrentDirectoryW(before); });

    std::wstring slashes = dir.file(L"params.xml");
    for (wchar_t& ch : slashes)
        if (ch == L'\\') ch = L'/';
    for (const std::wstring& name : {dir.file(L"params.xml"), std::wstring(L"params.xml"),
                                     std::wstring(L".\\sub\\..\\params.xml"), dir.file(L"sub\\..\\params.xml"),
                                     slashes}) {
        AgentStream path(3, name.c_str(), static_cast<unsigned>((name.size() + 1) * sizeof(wchar_t)));
        Stream* out = nullptr;
        EXPECT_EQ(at<InvokeCommandFn>(c, 13)(c, L"Unknown", &path, nullptr, &out), kInvalidArg) << std::string(
            name.begin(), name.end());
    }
}

} // namespace
