// The binding's load failures. The provider is loaded by name, so each case
// runs the probe program from a folder of its own holding a broken provider,
// none, or one that appears later.
#include "vrbase/scope.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// Checksum text of "abc" under the test boxes.
const char kAbcChecksum[] = "1DD5A4067C49703B75BC75C9290F5ECBB5EB85229E7277A2B2B14FC4484313F3";

struct Outcome {
    DWORD exitCode = 0;
    std::string output;
};

class BindingFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        Copy(L"vrbasecrypt_probe.exe", L"vrbasecrypt_probe.exe");
        Copy(L"VrError.dll", L"VrError.dll");  // for the descriptions' texts
    }

    void Copy(const wchar_t* builtName, const wchar_t* name) {
        ASSERT_TRUE(::CopyFileW((vrtest::ModuleFolder() + builtName).c_str(), dir.file(name).c_str(), FALSE))
            << ::GetLastError();
    }
    void Provide(const wchar_t* builtName) { Copy(builtName, L"Vr5CryptoApi.dll"); }

    // Runs the probe in the folder, also as its current folder, and
    // collects what it prints.
    Outcome Run(const std::wstring& args) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        if (!::CreatePipe(&readEnd, &writeEnd, &sa, 0)) throw std::runtime_error("pipe");
        VrBase::unique_handle reader(readEnd), writer(writeEnd);
        ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

        const std::wstring exe = dir.file(L"vrbasecrypt_probe.exe");
        std::wstring cmd = L"\"" + exe + L"\" " + args;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = writer.get();
        si.hStdError = writer.get();
        si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, dir.path().c_str(), &si,
                              &pi))
            throw std::runtime_error("cannot start the probe");
        VrBase::unique_handle process(pi.hProcess), thread(pi.hThread);
        writer.reset();

        Outcome out;
        char buf[4096];
        DWORD got = 0;
        while (::ReadFile(reader.get(), buf, sizeof(buf), &got, nullptr) && got > 0) out.output.append(buf, got);
        if (::WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.get(), 0xDEAD);
            throw std::runtime_error("the probe did not end");
        }
        ::GetExitCodeProcess(process.get(), &out.exitCode);
        return out;
    }

    vrtest::TempDir dir{L"vrcrypt"};
};

TEST_F(BindingFailureTest, MissingProviderRaisesNotLoadedAndDestroyCallsAnswerOne) {
    const Outcome out = Run(L"hash");
    EXPECT_EQ(out.exitCode, 0xE6080002u) << out.output;
    const auto lines = vrtest::SplitLines(out.output);
    ASSERT_EQ(lines.size(), 2u) << out.output;
    EXPECT_EQ(lines[0], "destroy 1 1 1");
    EXPECT_EQ(lines[1].rfind("error 0xE6080002 ", 0), 0u) << lines[1];
}

TEST_F(BindingFailureTest, ProviderLackingAnExportRaisesExportMissingWithItsName) {
    Provide(L"fake_vr5crypto_missing_export.dll");
    const Outcome out = Run(L"hash");
    EXPECT_EQ(out.exitCode, 0xE6010032u) << out.output;
    EXPECT_NE(out.output.find("error 0xE6010032 "), std::string::npos) << out.output;
    EXPECT_NE(out.output.find("vrCryptoInitialize"), std::string::npos) << out.output;
}

TEST_F(BindingFailureTest, DeviceNotConnectedBecomesProductCode) {
    Provide(L"fake_vr5crypto_no_device.dll");
    const Outcome out = Run(L"hash");
    EXPECT_EQ(out.exitCode, 0xE6080008u) << out.output;
    EXPECT_NE(out.output.find("error 0xE6080008 "), std::string::npos) << out.output;
}

TEST_F(BindingFailureTest, LoadIsRetriedWhenTheProviderAppears) {
    const Outcome out = Run(L"retry \"" + vrtest::ModuleFolder() + L"Vr5CryptoApi.dll\"");
    EXPECT_EQ(out.exitCode, 0u) << out.output;
    const auto lines = vrtest::SplitLines(out.output);
    ASSERT_EQ(lines.size(), 2u) << out.output;
    EXPECT_EQ(lines[0].rfind("error 0xE6080002 ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], std::string("hash ") + kAbcChecksum);
}

TEST_F(BindingFailureTest, BrokenProviderIsFreedSoAFixedOneLoads) {
    // Were the broken module kept loaded, loading the name again would hand
    // it back instead of the good file now in its place.
    Provide(L"fake_vr5crypto_missing_export.dll");
    const Outcome out = Run(L"retry \"" + vrtest::ModuleFolder() + L"Vr5CryptoApi.dll\"");
    EXPECT_EQ(out.exitCode, 0u) << out.output;
    const auto lines = vrtest::SplitLines(out.output);
    ASSERT_EQ(lines.size(), 2u) << out.output;
    EXPECT_EQ(lines[0].rfind("error 0xE6010032 ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], std::string("hash ") + kAbcChecksum);
}

} // namespace
