// Frames read through a budget: the buffer grows as the data comes and only
// as far as the budget grants; a frame it refuses is read to its end and
// dropped, and the next frame of the stream is read whole.
#include "pipe_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

using namespace vrcc;

namespace {

struct CountingBudget : IReadBudget {
    explicit CountingBudget(size_t limit) : limit(limit) {}
    bool Take(size_t bytes) override {
        if (held + bytes > limit) return false;
        held += bytes;
        peak = (std::max)(peak, held);
        return true;
    }
    void Give(size_t bytes) override { held -= bytes; }
    size_t limit, held = 0, peak = 0;
};

// Both ends of a message-mode pipe of this test's own.
struct ChannelPair {
    ChannelPair() {
        const std::wstring name = L"\\\\.\\pipe\\vrtest.channel-" + std::to_wstring(::GetCurrentProcessId());
        VrBase::unique_hfile server(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                                       65536, 0, nullptr));
        VrBase::unique_hfile client(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!server || !client || !::SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr))
            throw std::runtime_error("cannot make a pipe");
        reader = std::make_unique<CPipeChannel>(std::move(server));
        writer = std::make_unique<CPipeChannel>(std::move(client));
    }
    // Writes the messages in order on a thread of their own: a large one
    // waits until it is read.
    void Send(std::vector<std::vector<BYTE>> messages) {
        sending = std::thread([this, messages = std::move(messages)] {
            for (const auto& m : messages) {
                DWORD e = 0;
                if (writer->Write(m, nullptr, 30000, e) != IoResult::Ok) return;
            }
        });
    }
    ~ChannelPair() {
        writer->CancelAll();
        reader->CancelAll();
        if (sending.joinable()) sending.join();
    }
    std::unique_ptr<CPipeChannel> reader, writer;
    std::thread sending;
};

std::vector<BYTE> Bytes(size_t size) {
    std::vector<BYTE> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 7 + i / 4096);
    return data;
}

TEST(PipeChannel, ABufferGrowsOnlyAsGrantedAndARefusedFrameKeepsTheStreamInStep) {
    constexpr size_t kMiB = 1024 * 1024;
    const std::vector<BYTE> large = Bytes(24 * kMiB), small = Bytes(100);
    // A header that declares the largest payload, on a message of 1 MiB.
    std::vector<BYTE> claim = EncodeFrame(CmdPost, 9, 0, Bytes(kMaxPayload));
    claim.resize(kMiB);

    {
        SCOPED_TRACE("within the budget");
        ChannelPair pair;
        pair.Send({EncodeFrame(CmdSend, 1, 0, large)});
        CountingBudget budget(64 * kMiB);
        CReadHold hold(&budget);
        Frame f;
        DWORD e = 0;
        ASSERT_EQ(pair.reader->Read(f, nullptr, 30000, e, ReadBounds{&hold, 30000}), IoResult::Ok) << e;
        EXPECT_EQ(f.id, 1u);
        EXPECT_TRUE(f.payload == large);
        EXPECT_EQ(hold.Bytes(), budget.held);
        EXPECT_GE(hold.Bytes(), large.size()) << "the buffer is held whole";
        EXPECT_LE(budget.peak, 2 * large.size()) << "grown as the data came, not far past it";
        hold.Reset();
        EXPECT_EQ(budget.held, 0u);
    }
    {
        SCOPED_TRACE("beyond the budget");
        ChannelPair pair;
        pair.Send({EncodeFrame(CmdSend, 1, 0, large), EncodeFrame(CmdPost, 2, 0, small)});
        CountingBudget budget(8 * kMiB);
        Frame f;
        DWORD e = 0;
        {
            CReadHold hold(&budget);
            ASSERT_EQ(pair.reader->Read(f, nullptr, 30000, e, ReadBounds{&hold, 30000}), IoResult::Refused) << e;
            EXPECT_EQ(f.command, CmdSend);
            EXPECT_EQ(f.id, 1u) << "the refused request can be answered";
            EXPECT_TRUE(f.payload.empty());
            EXPECT_EQ(budget.held, 0u) << "a refused frame holds nothing";
        }
        CReadHold hold(&budget);
        ASSERT_EQ(pair.reader->Read(f, nullptr, 30000, e, ReadBounds{&hold, 30000}), IoResult::Ok) << e;
        EXPECT_EQ(f.id, 2u) << "the next frame follows";
        EXPECT_TRUE(f.payload == small);
    }
    {
        SCOPED_TRACE("a declared size alone");
        ChannelPair pair;
        pair.Send({claim, EncodeFrame(CmdPost, 2, 0, small)});
        CountingBudget budget(256 * kMiB);
        {
            CReadHold hold(&budget);
            Frame f;
            DWORD e = 0;
            EXPECT_THROW(pair.reader->Read(f, nullptr, 30000, e, ReadBounds{&hold, 30000}), ProtocolError);
        }
        EXPECT_LE(budget.peak, 2 * claim.size()) << "the buffer grew to the declared size before the data came";
        EXPECT_EQ(budget.held, 0u);
    }
}

} // namespace
