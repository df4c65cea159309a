// The 0xFF00 page: what each register write stores and starts, what each read returns, the
// joypad entry points and both DMAs.
#include <gtest/gtest.h>

#include <climits>
#include <memory>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

class Io : public testing::Test {
  protected:
    void SetUp() override { Open(0x80); }
    void Open(u8 cgb_flag) {
        gb_->system_type = 1;
        test::OpenImage(*gb_, test::MakeRom({.banks = 4, .cgb_flag = cgb_flag}));
    }
    void Write(u8 n, u8 value) { gb_->BusWrite(static_cast<u16>(0xFF00 | n), value); }
    u8 Read(u8 n) const { return gb_->BusRead(static_cast<u16>(0xFF00 | n)); }
    SoundChannel& Ch(int n) { return gb_->state.channels[n]; }

    std::unique_ptr<TGBSYSF> gb_ = std::make_unique<TGBSYSF>();
    GbState& s_ = gb_->state;
};

TEST_F(Io, TimerWritesKeepThePrescalers) {
    s_.DIV = 0x40;
    s_.div_cycles = 200;
    s_.tima_cycles = 300;
    Write(reg::DIV, 0x55);
    EXPECT_EQ(Read(reg::DIV), 0);
    EXPECT_EQ(gb_->memory.io_page[reg::DIV], 0x55);
    Write(reg::TAC, 0xFD);
    EXPECT_EQ(Read(reg::TAC), 0xFD) << "all 8 bits";
    EXPECT_EQ(s_.div_cycles, 200);
    EXPECT_EQ(s_.tima_cycles, 300);
}

TEST_F(Io, InterruptRegistersHoldAllEightBits) {
    Write(reg::IF, 0xE5);
    Write(reg::IE, 0xFF);
    EXPECT_EQ(Read(reg::IF), 0xE5);
    EXPECT_EQ(Read(reg::IE), 0xFF);
}

TEST_F(Io, P1ShowsTheSelectedKeyGroupDirectionsFirst) {
    s_.joy_dir = 0x0E;  // Right held
    s_.joy_btn = 0x07;  // Start held
    Write(reg::P1, 0x20);
    EXPECT_EQ(Read(reg::P1), 0x2E);
    Write(reg::P1, 0x10);
    EXPECT_EQ(Read(reg::P1), 0x17);
    Write(reg::P1, 0x30);
    EXPECT_EQ(Read(reg::P1), 0x3F);
    Write(reg::P1, 0x00);
    EXPECT_EQ(Read(reg::P1), 0x0E);
    Write(reg::P1, 0xC0);
    EXPECT_EQ(Read(reg::P1), 0xCE) << "the upper nibble reads back as written";
}

TEST_F(Io, KeyPressesClearTheirBitAndRequestTheJoypadInterrupt) {
    gb_->PressButton(KEY_DOWN);
    EXPECT_EQ(s_.joy_dir, 0x07);
    EXPECT_EQ(s_.IF, irq::JOYPAD);
    gb_->PressButton(KEY_A);
    gb_->PressButton(KEY_START);
    EXPECT_EQ(s_.joy_btn, 0x06);
    gb_->ReleaseButton(KEY_A);
    gb_->ReleaseButton(KEY_DOWN);
    EXPECT_EQ(s_.joy_btn, 0x07);
    EXPECT_EQ(s_.joy_dir, 0x0F);
}

TEST_F(Io, KeyBoundToNoButtonStillRequestsTheInterrupt) {
    for (int key : {-1, 8, 1000}) {
        s_.IF = 0;
        gb_->PressButton(key);
        EXPECT_EQ(s_.IF, irq::JOYPAD);
        gb_->ReleaseButton(key);
    }
    EXPECT_EQ(s_.joy_dir, 0x0F);
    EXPECT_EQ(s_.joy_btn, 0x0F);
}

TEST_F(Io, SquareRegistersDecodeIntoTheChannelRecords) {
    Write(reg::NR10, 0x19);
    EXPECT_EQ(Ch(0).sweep_time, 1u);
    EXPECT_EQ(Ch(0).sweep_dir, 8u);
    EXPECT_EQ(Ch(0).sweep_shift, 1u);
    EXPECT_EQ(Ch(0).sweep_on, 1u);
    Write(reg::NR10, 0xF8);
    EXPECT_EQ(Ch(0).sweep_time, 15u);
    EXPECT_EQ(Ch(0).sweep_on, 0u) << "no shift, no sweep";

    Write(reg::NR21, 0x7F);
    EXPECT_EQ(Ch(1).length_count, 1u);
    EXPECT_EQ(Ch(1).duty, 1u);
    Write(reg::NR22, 0xA8);
    EXPECT_EQ(Ch(1).env_initial, 10u);
    EXPECT_EQ(Ch(1).env_volume, 10u);
    EXPECT_EQ(Ch(1).output, 10);
    EXPECT_EQ(Ch(1).env_dir, 8u);
    EXPECT_EQ(Ch(1).env_on, 0u) << "step length 0 stops the envelope";
    Write(reg::NR22, 0x53);
    EXPECT_EQ(Ch(1).env_period, 3u);
    EXPECT_EQ(Ch(1).env_on, 1u);

    Write(reg::NR13, 0xFF);
    Write(reg::NR14, 0x87);
    EXPECT_EQ(Ch(0).freq_hi, 7u);
    EXPECT_EQ(Ch(0).freq_period, 4u);
    EXPECT_EQ(Ch(0).length_on, 0u);
    Write(reg::NR23, 0x00);
    Write(reg::NR24, 0x44);
    EXPECT_EQ(Ch(1).freq_period, (2048u - 0x400) * 4);
    EXPECT_EQ(Ch(1).length_on, 0x40u);
}

TEST_F(Io, WaveAndNoiseRegistersDecodeIntoTheChannelRecords) {
    Write(reg::NR31, 0x00);
    EXPECT_EQ(Ch(2).length_count, 256u);
    Write(reg::NR32, 0x60);
    EXPECT_EQ(Ch(2).wave_level, 3u);
    Write(reg::NR33, 0x00);
    Write(reg::NR34, 0x06);
    EXPECT_EQ(Ch(2).freq_period, (2048u - 0x600) * 2);
    Write(reg::NR30, 0x00);
    EXPECT_EQ(Ch(2).ch_on, 0u);
    EXPECT_EQ(Read(reg::NR52) & 0x04, 0);

    Write(reg::NR41, 0xC0);
    EXPECT_EQ(Ch(3).length_count, 64u);
    EXPECT_EQ(Ch(3).duty, 0u) << "the noise channel has no duty";
    Write(reg::NR43, 0x27);
    EXPECT_EQ(Ch(3).noise_clock_shift, 2u);
    EXPECT_EQ(Ch(3).noise_ratio, 3u);
    EXPECT_EQ(Ch(3).noise_width, 0u);
    EXPECT_EQ(Ch(3).freq_period, 192u);
    Write(reg::NR43, 0xF8);
    EXPECT_EQ(Ch(3).noise_width, 8u);
    EXPECT_EQ(Ch(3).freq_period, 0u);
    Write(reg::NR44, 0x47);
    EXPECT_EQ(Ch(3).length_on, 0x40u);
    EXPECT_EQ(Ch(3).freq_hi, 0u);
}

TEST_F(Io, MasterRegistersSetVolumesAndReadChannelStatus) {
    Write(reg::NR50, 0x88);
    EXPECT_EQ(s_.so1_volume, 0);
    EXPECT_EQ(s_.so2_volume, 0);
    EXPECT_EQ(s_.so1_on, 1);
    EXPECT_EQ(s_.so2_on, 1);
    for (int c = 0; c < 4; ++c) Ch(c).ch_on = (c % 2 == 0) ? 1 : 0;
    Write(reg::NR52, 0x00);
    EXPECT_EQ(s_.snd_master_on, 0);
    EXPECT_EQ(Read(reg::NR52), 0x05) << "switching off clears no channel";
    Write(reg::NR52, 0xF0);
    EXPECT_EQ(s_.snd_master_on, 1);
    EXPECT_EQ(Read(reg::NR52), 0xF5);
}

TEST_F(Io, StatAndLyWritesMoveTheLcdState) {
    Write(reg::STAT, 0x81);
    EXPECT_EQ(s_.STAT & 3, 1) << "the mode follows the write";
    EXPECT_EQ(Read(reg::STAT), 0x81);
    s_.LY = 90;
    Write(reg::LY, 0x99);
    EXPECT_EQ(Read(reg::LY), 0);
    EXPECT_EQ(gb_->memory.io_page[reg::LY], 0x99);
    Write(reg::LYC, 0);  // equal to LY now
    EXPECT_EQ(s_.STAT & 0x04, 0) << "no coincidence check on a write";
}

TEST_F(Io, MonochromePaletteWritesDecodeShades) {
    Write(reg::BGP, 0xE4);
    Write(reg::OBP1, 0x1B);
    const u8 identity[16] = {255, 255, 255, 0, 192, 192, 192, 0, 128, 128, 128, 0, 0, 0, 0, 0};
    const u8 reversed[16] = {0, 0, 0, 0, 128, 128, 128, 0, 192, 192, 192, 0, 255, 255, 255, 0};
    EXPECT_TRUE(std::equal(identity, identity + 16, s_.bgp_colors));
    EXPECT_TRUE(std::equal(reversed, reversed + 16, s_.obp1_colors));
    EXPECT_EQ(Read(reg::BGP), 0xE4);
    EXPECT_EQ(Read(reg::OBP1), 0x1B);
}

TEST_F(Io, ColourPaletteDataAdvancesOnlyTheIndexField) {
    Write(reg::OCPS, 0x80);
    Write(reg::OCPD, 0xFF);
    Write(reg::OCPD, 0x7F);
    EXPECT_EQ(s_.cgb_obj_colors[0], 248);
    EXPECT_EQ(s_.cgb_obj_colors[1], 248);
    EXPECT_EQ(s_.cgb_obj_colors[2], 248);
    EXPECT_EQ(s_.OCPS, 0x82);
    EXPECT_EQ(Read(reg::OCPS), 0x80) << "the register reads back as written";
}

TEST_F(Io, ColourRegistersOnlyStoreTheirByteInMonochromeMode) {
    Open(0x00);
    ASSERT_EQ(s_.CGB_MODE, 0);
    Write(reg::BCPS, 0x80);
    EXPECT_EQ(s_.BCPS, 0x80) << "the index is kept in any mode";
    Write(reg::BCPD, 0x00);
    EXPECT_EQ(s_.cgb_bg_colors[0], 0xFF);
    EXPECT_EQ(s_.BCPS, 0x80);
    gb_->memory.wram[0] = 0x99;
    Write(reg::HDMA1, 0xC0);
    Write(reg::HDMA5, 0x00);
    EXPECT_EQ(gb_->memory.vram[0], 0);
    EXPECT_EQ(Read(reg::HDMA5), 0x00);
}

TEST_F(Io, OamDmaCopiesAWholePageSynchronously) {
    for (int i = 0; i < 160; ++i) gb_->memory.wram[i] = static_cast<u8>(i ^ 0x5A);
    gb_->memory.oam_page[160] = 0xEE;
    Write(reg::DMA, 0xC0);
    for (int i = 0; i < 160; ++i) EXPECT_EQ(gb_->memory.oam_page[i], i ^ 0x5A);
    EXPECT_EQ(gb_->memory.oam_page[160], 0xEE);
    Write(reg::DMA, 0x40);  // from the switchable ROM bank
    EXPECT_EQ(gb_->memory.oam_page[0], 1);
}

TEST_F(Io, GeneralVideoDmaCopiesAtOnce) {
    for (int i = 0; i < 48; ++i) gb_->memory.wram[i] = static_cast<u8>(0x80 + i);
    Write(reg::HDMA1, 0xC0);
    Write(reg::HDMA2, 0x0F);
    Write(reg::HDMA3, 0x01);
    Write(reg::HDMA4, 0x2F);
    Write(reg::HDMA5, 0x01);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(gb_->memory.vram[0x120 + i], 0x80 + i);
    EXPECT_EQ(gb_->memory.vram[0x140], 0) << "32 bytes only";
    EXPECT_EQ(Read(reg::HDMA5), 0xFF);
    EXPECT_EQ(s_.hdma_active, 0);
}

TEST_F(Io, HblankVideoDmaCopiesOneBlockPerCallAndCountsDown) {
    for (int i = 0; i < 80; ++i) gb_->memory.wram[i] = static_cast<u8>(i + 1);
    Write(reg::HDMA1, 0xC0);
    Write(reg::HDMA2, 0x00);
    Write(reg::HDMA3, 0x00);
    Write(reg::HDMA4, 0x00);
    Write(reg::HDMA5, 0x83);
    EXPECT_EQ(Read(reg::HDMA5), 0x83);
    EXPECT_EQ(gb_->memory.vram[0], 0);
    for (u8 expected : {0x82, 0x81, 0x80, 0xFF}) {
        gb_->HblankDmaStep();
        EXPECT_EQ(Read(reg::HDMA5), expected);
    }
    EXPECT_EQ(s_.hdma_active, 0);
    gb_->HblankDmaStep();
    for (int i = 0; i < 64; ++i) EXPECT_EQ(gb_->memory.vram[i], i + 1);
    EXPECT_EQ(gb_->memory.vram[64], 0) << "nothing copied once finished";
}

TEST_F(Io, GeneralWriteDuringHblankDmaReplacesIt) {
    Write(reg::HDMA1, 0xC0);
    Write(reg::HDMA5, 0x81);
    gb_->memory.wram[0x100] = 0x42;
    Write(reg::HDMA2, 0x00);
    Write(reg::HDMA1, 0xC1);
    Write(reg::HDMA5, 0x00);
    EXPECT_EQ(s_.hdma_active, 0);
    EXPECT_EQ(gb_->memory.vram[0], 0x42);
    EXPECT_EQ(Read(reg::HDMA5), 0xFF);
}

TEST_F(Io, HblankDmaFromAnyStateEndsWithinBounds) {
    s_.hdma_active = 1;
    s_.hdma_length = INT_MIN;
    s_.hdma_src = 0xFFF8;
    s_.hdma_dst = 0x9FF8;
    gb_->HblankDmaStep();
    EXPECT_EQ(s_.hdma_active, 0);
    EXPECT_EQ(s_.hdma_src, 0x0008) << "the source wraps at 0xFFFF";
}

TEST_F(Io, RegistersWithoutEffectReadBackTheirLastByte) {
    const u8 plain[] = {reg::SB,    reg::SC, reg::NR51, reg::WAVE_RAM, 0x3F, reg::KEY1,
                        reg::HDMA2, reg::RP, reg::VBK,  reg::SVBK,     0x03, 0x7F};
    for (u8 r : plain) Write(r, static_cast<u8>(0xA0 ^ r));
    for (u8 r : plain) EXPECT_EQ(Read(r), 0xA0 ^ r) << std::hex << int{r};
}

}  // namespace
}  // namespace kivo
