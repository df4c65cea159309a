// The sound output: the looping buffer's cursor-driven writes (with an injected play position),
// then the SDL2 device itself through SDL's dummy driver.
#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/looping_sound_buffer.h"
#include "host/sdl_sound_output.h"
#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

using Buffer = LoopingSoundBuffer;

std::vector<u8> Block(u8 fill) {
    return std::vector<u8>(Buffer::kBlockBytes, fill);
}

// The ring's bytes, read from offset 0.
std::vector<u8> Contents(const Buffer& buffer) {
    std::vector<u8> bytes(Buffer::kBytes);
    buffer.ReadAt(0, bytes.data(), Buffer::kBytes);
    return bytes;
}

// Byte ranges [begin, end) of the ring and what they must hold.
struct Span {
    std::uint32_t begin, end;
    u8 value;
};

struct WriteCase {
    const char* name;
    std::uint32_t play;  // play position when the block comes
    std::uint32_t lead;  // one device buffer
    bool playing;
    std::vector<Span> expected;  // everything else stays 0
};

TEST(LoopingSoundBufferTest, BlocksLandAtTheWriteCursorAndWrapAtTheEnd) {
    const WriteCase cases[] = {
        {"at the cursor", 4000, 2048, true, {{6048, 6048 + 8192, 0xAB}}},
        // Write cursor 126976, 4096 bytes before the end: the block splits in two.
        {"split at the end", 126976 - 2048, 2048, true, {{126976, 131072, 0xAB}, {0, 4096, 0xAB}}},
        {"cursor wraps past the end", 130048, 2048, true, {{1024, 1024 + 8192, 0xAB}}},
        {"stopped: nothing written", 4000, 2048, false, {}},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = std::make_unique<Buffer>();
        buffer->SetLeadBytes(c.lead);
        buffer->SetPlayPosition(c.play);
        buffer->SetPlaying(c.playing);
        buffer->StreamBlock(Block(0xAB).data());
        std::vector<u8> expected(Buffer::kBytes, 0);
        for (const Span& s : c.expected) std::fill(&expected[s.begin], &expected[s.end], s.value);
        EXPECT_TRUE(Contents(*buffer) == expected);
    }
}

TEST(LoopingSoundBufferTest, ABlockThatComesEarlyOverwritesMostOfTheOneBefore) {
    auto buffer = std::make_unique<Buffer>();
    buffer->SetLeadBytes(2048);
    buffer->SetPlaying(true);
    buffer->StreamBlock(Block(0x11).data());
    // The emulation is far ahead of real time: a few ms later playback has moved one device
    // buffer and the next block arrives.
    buffer->SetPlayPosition(2048);
    buffer->StreamBlock(Block(0x22).data());
    std::vector<u8> expected(Buffer::kBytes, 0);
    std::fill(&expected[2048], &expected[4096], 0x11);
    std::fill(&expected[4096], &expected[4096 + 8192], 0x22);
    EXPECT_TRUE(Contents(*buffer) == expected);
}

TEST(LoopingSoundBufferTest, PlaybackReadsRoundTheRingAndMovesOn) {
    auto buffer = std::make_unique<Buffer>();
    std::vector<u8> ramp(Buffer::kBytes);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<u8>(i * 7);
    buffer->WriteAt(0, ramp.data(), Buffer::kBytes);
    buffer->SetPlayPosition(Buffer::kBytes - 8);
    std::vector<u8> out(16);
    buffer->Play(out.data(), 16);
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(out[i], ramp[(Buffer::kBytes - 8 + i) % Buffer::kBytes]) << i;
    }
    EXPECT_EQ(buffer->PlayPosition(), 8u);
    // A request that is not whole frames gets silence for the odd bytes; positions stay framed.
    std::vector<u8> odd(6, 0xFF);
    buffer->Play(odd.data(), 6);
    EXPECT_EQ(odd[4], 0);
    EXPECT_EQ(odd[5], 0);
    EXPECT_EQ(buffer->PlayPosition(), 12u);
    buffer->SetLeadBytes(1u << 30);  // absurd: kept inside the ring
    EXPECT_LT(buffer->WriteCursor(), Buffer::kBytes);
}

// A sound output that puts the machine's blocks into a looping buffer whose playback keeps pace
// with the blocks, as at real-time speed.
class RingOutput : public SoundOutput {
  public:
    explicit RingOutput(Buffer& buffer) : buffer_(buffer) {}
    void StreamSoundBlock(const u8* block) override {
        buffer_.StreamBlock(block);
        buffer_.SetPlayPosition(buffer_.PlayPosition() + Buffer::kBlockBytes);
        ++blocks;
    }
    int blocks = 0;

  private:
    Buffer& buffer_;
};

TEST(LoopingSoundBufferTest, SilenceKeepsFlowingWhileSoundIsDisabled) {
    auto buffer = std::make_unique<Buffer>();
    std::vector<u8> stale(Buffer::kBytes, 0x5A);
    buffer->WriteAt(0, stale.data(), Buffer::kBytes);
    buffer->SetLeadBytes(2048);
    buffer->SetPlaying(true);
    for (const bool nr52_off : {false, true}) {
        SCOPED_TRACE(nr52_off ? "NR52 off" : "Sound - Enable off");
        auto gb = std::make_unique<TGBSYSF>();
        test::OpenImage(*gb, test::MakeRom());
        gb->sound_enable = nr52_off;
        if (nr52_off) gb->IoWrite(0xFF26, 0x00);
        RingOutput output(*buffer);
        gb->sound_output = &output;
        for (int i = 0; i < 32; ++i) gb->RunSlice();  // two console seconds
        EXPECT_NEAR(output.blocks, 21, 1) << "about 10.8 blocks a second";
        const std::vector<u8> bytes = Contents(*buffer);
        const auto stale_left = std::count(bytes.begin(), bytes.end(), 0x5A);
        EXPECT_EQ(stale_left, 0) << "the whole ring was overwritten with silence";
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), Buffer::kBytes);
        buffer->WriteAt(0, stale.data(), Buffer::kBytes);
    }
}

// ---- the SDL2 device (SDL_AUDIODRIVER=dummy from CTest) ----

template <typename Condition>
bool Eventually(Condition condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class SdlSoundOutputTest : public ::testing::Test {
  protected:
    SdlSoundOutputTest() {
        const char* driver = std::getenv("SDL_AUDIODRIVER");
        saved_driver_ = driver ? driver : "";
        if (!driver) setenv("SDL_AUDIODRIVER", "dummy", 1);
        gb.ShowErrorMessage = [this](const std::string& m) { messages.push_back(m); };
    }
    ~SdlSoundOutputTest() override {
        if (saved_driver_.empty()) {
            unsetenv("SDL_AUDIODRIVER");
        } else {
            setenv("SDL_AUDIODRIVER", saved_driver_.c_str(), 1);
        }
    }

    std::unique_ptr<TGBSYSF> owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *owner;
    std::vector<std::string> messages;

  private:
    std::string saved_driver_;
};

TEST_F(SdlSoundOutputTest, PlaysTheLoopingBufferAndStopsWhereItStopped) {
    auto output = std::make_unique<SdlSoundOutput>(gb);
    ASSERT_TRUE(output->InitSound());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(gb.sound_ready);
    EXPECT_GT(output->device_buffer_bytes(), 0u);
    EXPECT_EQ(output->device_buffer_bytes() % 4, 0u);

    output->StopSound();  // not playing: nothing to do
    const std::vector<u8> block = Block(0x33);
    output->StreamSoundBlock(block.data());
    EXPECT_EQ(output->buffer().PlayPosition(), 0u) << "a stopped device does not play";

    output->PlaySound();
    output->PlaySound();  // already playing
    ASSERT_TRUE(Eventually([&] { return output->buffer().PlayPosition() != 0; }))
        << "the audio callback plays the ring";
    output->StopSound();
    const std::uint32_t stopped_at = output->buffer().PlayPosition();
    // Once StopSound has returned the callback no longer runs: the position stays put.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(output->buffer().PlayPosition(), stopped_at);

    output->ReleaseSound();
    EXPECT_FALSE(gb.sound_ready);
    output->PlaySound();  // released: every operation returns at once
    output->StreamSoundBlock(block.data());
}

TEST_F(SdlSoundOutputTest, WithoutASoundDeviceOneMessageAndTheMachineRunsSilently) {
    setenv("SDL_AUDIODRIVER", "kivo-no-such-driver", 1);
    auto output = std::make_unique<SdlSoundOutput>(gb);
    EXPECT_FALSE(output->InitSound());
    EXPECT_EQ(messages, std::vector<std::string>{kSdlInitMessage});
    EXPECT_FALSE(gb.sound_ready);

    test::OpenImage(gb, test::MakeRom());
    gb.sound_output = output.get();
    output->PlaySound();
    for (int i = 0; i < 16; ++i) gb.RunSlice();  // blocks are handed over and dropped
    output->StopSound();
    EXPECT_GT(gb.frame_count, 50u);
    EXPECT_EQ(messages.size(), 1u) << "run-time calls stay silent";
}

}  // namespace
}  // namespace kivo
