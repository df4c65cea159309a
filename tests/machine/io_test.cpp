// The 0xFF00 page: what each register write stores and starts, what each read returns, the
// joypad entry points and both DMAs.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

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
    // Writes HDMA1 to HDMA5: source, destination, then the length and mode that start the copy.
    void Hdma(u16 source, u16 destination, u8 control) {
        const u8 bytes[] = {static_cast<u8>(source >> 8), static_cast<u8>(source),
                            static_cast<u8>(destination >> 8), static_cast<u8>(destination),
                            control};
        for (int i = 0; i < 5; ++i) Write(static_cast<u8>(reg::HDMA1 + i), bytes[i]);
    }
    // Fills work RAM from 0xC000 with first, first + 1, ...; counts the video RAM bytes from
    // `at` that hold the same sequence.
    void FillWram(int count, int first) {
        for (int i = 0; i < count; ++i) gb_->memory.wram[i] = static_cast<u8>(first + i);
    }
    int VramCopied(int at, int first) const {
        int n = 0;
        while (at + n < 0x2000 && gb_->memory.vram[at + n] == static_cast<u8>(first + n)) ++n;
        return n;
    }

    std::unique_ptr<TGBSYSF> gb_ = std::make_unique<TGBSYSF>();
    GbState& s_ = gb_->state;
};

TEST_F(Io, SoundRegistersDecodeIntoTheChannelRecords) {
    // Each row writes a register, then checks one field of one channel; rows run in order.
    // NR10 0xF8 has no shift, so no sweep; NR22 step length 0 stops the envelope; NR44 holds no
    // frequency bits and the noise channel has no duty.
    using C = SoundChannel;
    using namespace reg;
    // clang-format off
    const std::tuple<u8, u8, int, u32 C::*, u32> rows[] = {
        {NR10, 0x19, 0, &C::sweep_time, 1}, {NR10, 0x19, 0, &C::sweep_dir, 8},
        {NR10, 0x19, 0, &C::sweep_shift, 1}, {NR10, 0x19, 0, &C::sweep_on, 1},
        {NR10, 0xF8, 0, &C::sweep_time, 15}, {NR10, 0xF8, 0, &C::sweep_on, 0},
        {NR21, 0x7F, 1, &C::length_count, 1}, {NR21, 0x7F, 1, &C::duty, 1},
        {NR22, 0xA8, 1, &C::env_initial, 10}, {NR22, 0xA8, 1, &C::env_volume, 10},
        {NR22, 0xA8, 1, &C::env_dir, 8}, {NR22, 0xA8, 1, &C::env_on, 0},
        {NR22, 0x53, 1, &C::env_period, 3}, {NR22, 0x53, 1, &C::env_on, 1},
        {NR13, 0xFF, 0, &C::freq_lo, 0xFF}, {NR14, 0x87, 0, &C::freq_hi, 7},
        {NR14, 0x87, 0, &C::freq_period, 4}, {NR14, 0x87, 0, &C::length_on, 0},
        {NR24, 0x44, 1, &C::length_on, 0x40}, {NR24, 0x44, 1, &C::freq_period, 1024 * 4},
        {NR31, 0x00, 2, &C::length_count, 256}, {NR32, 0x60, 2, &C::wave_level, 3},
        {NR34, 0x06, 2, &C::freq_period, 512 * 2}, {NR30, 0x00, 2, &C::ch_on, 0},
        {NR41, 0xC0, 3, &C::length_count, 64}, {NR41, 0xC0, 3, &C::duty, 0},
        {NR43, 0x27, 3, &C::noise_clock_shift, 2}, {NR43, 0x27, 3, &C::noise_ratio, 3},
        {NR43, 0x27, 3, &C::noise_width, 0}, {NR43, 0x27, 3, &C::freq_period, 192},
        {NR43, 0xF8, 3, &C::noise_width, 8}, {NR43, 0xF8, 3, &C::freq_period, 0},
        {NR44, 0x47, 3, &C::length_on, 0x40}, {NR44, 0x47, 3, &C::freq_hi, 0}};
    // clang-format on
    for (const auto& [r, value, channel, field, expected] : rows) {
        Write(r, value);
        EXPECT_EQ(s_.channels[channel].*field, expected) << std::hex << int{r} << "=" << int{value};
    }
    EXPECT_EQ(s_.channels[1].output, 5);  // the last NR22 write, 0x53, set the level at once
    Write(reg::NR50, 0x88);
    EXPECT_EQ(std::vector<int>({s_.so1_volume, s_.so2_volume, s_.so1_on, s_.so2_on}),
              std::vector<int>({0, 0, 1, 1}));
    for (int c = 0; c < 4; ++c) s_.channels[c].ch_on = (c % 2 == 0) ? 1 : 0;
    Write(reg::NR52, 0x00);
    EXPECT_EQ(s_.snd_master_on, 0);
    EXPECT_EQ(Read(reg::NR52), 0x05) << "switching off clears no channel";
    Write(reg::NR52, 0xF0);
    EXPECT_EQ(s_.snd_master_on, 1);
    EXPECT_EQ(Read(reg::NR52), 0xF5);
}

TEST_F(Io, OtherRegistersStoreAndReadBackAsTheirRulesSay) {
    s_.div_cycles = 200;
    s_.tima_cycles = 300;
    s_.LY = 90;
    // Register, value written, value read: DIV and LY restart at 0, the others read back.
    // clang-format off
    const u8 rows[][3] = {
        {reg::DIV, 0x55, 0}, {reg::TAC, 0xFD, 0xFD}, {reg::IF, 0xE5, 0xE5}, {reg::IE, 0xFF, 0xFF},
        {reg::LY, 0x99, 0}, {reg::STAT, 0x81, 0x81}, {reg::BGP, 0xE4, 0xE4},
        {reg::OBP1, 0x1B, 0x1B},
        {reg::SB, 0xA1, 0xA1}, {reg::SC, 0xA2, 0xA2}, {reg::NR51, 0xA3, 0xA3},
        {reg::WAVE_RAM, 0xA4, 0xA4}, {0x3F, 0xA5, 0xA5}, {reg::KEY1, 0xA6, 0xA6},
        {reg::HDMA2, 0xA7, 0xA7}, {reg::RP, 0xA8, 0xA8}, {reg::VBK, 0xA9, 0xA9},
        {reg::SVBK, 0xAA, 0xAA}, {0x03, 0xAB, 0xAB}, {0x7F, 0xAC, 0xAC}, {reg::OCPS, 0x80, 0x80}};
    // clang-format on
    for (const auto& row : rows) Write(row[0], row[1]);
    for (const auto& row : rows) EXPECT_EQ(Read(row[0]), row[2]) << std::hex << int{row[0]};
    // The page keeps the byte written; the timer's prescalers run on; the LCD's mode follows a
    // STAT write and a LYC write compares nothing.
    EXPECT_EQ(gb_->memory.io_page[reg::DIV], 0x55);
    EXPECT_EQ(gb_->memory.io_page[reg::LY], 0x99);
    EXPECT_EQ(s_.div_cycles, 200);
    EXPECT_EQ(s_.tima_cycles, 300);
    EXPECT_EQ(s_.STAT & 3, 1);
    Write(reg::LYC, 0);
    EXPECT_EQ(s_.STAT & 0x04, 0);
    // Palettes decode into shades (colour 1 of 0xE4 and of 0x1B); colour data advances only the
    // index field, while the register reads back as written.
    EXPECT_EQ(s_.bgp_colors[4], 192);
    EXPECT_EQ(s_.obp1_colors[4], 128);
    Write(reg::OCPD, 0xFF);
    Write(reg::OCPD, 0x7F);
    EXPECT_EQ(std::vector<u8>(s_.cgb_obj_colors, s_.cgb_obj_colors + 3), std::vector<u8>(3, 248));
    EXPECT_EQ(s_.OCPS, 0x82);
    EXPECT_EQ(Read(reg::OCPS), 0x80);
    // By the console's rules IF's three unused bits read as 1.
    Write(reg::IF, 0x05);
    gb_->exact_slice = true;
    EXPECT_EQ(Read(reg::IF), 0xE5);
}

TEST_F(Io, P1ShowsTheSelectedKeyGroupAndEveryPressRequestsTheInterrupt) {
    for (int key : std::initializer_list<int>{KEY_RIGHT, KEY_START, KEY_DOWN, KEY_A, -1, 8, 1000}) {
        s_.IF = 0;
        gb_->PressButton(key);
        EXPECT_EQ(s_.IF, irq::JOYPAD) << "key " << key;  // also for keys bound to no button
    }
    // Key 8 is no button: releasing it must not let go of A (bit 0 of the button group).
    for (int key : std::initializer_list<int>{KEY_DOWN, -1, 8, 1000}) gb_->ReleaseButton(key);
    EXPECT_EQ(s_.joy_dir, 0x0E);  // Right held
    EXPECT_EQ(s_.joy_btn, 0x06);  // A and Start held
    // Directions first when both groups are selected; the upper nibble reads back as written.
    for (const auto& [written, read] :
         {std::pair<u8, u8>{0x20, 0x2E}, {0x10, 0x16}, {0x30, 0x3F}, {0x00, 0x0E}, {0xC0, 0xCE}}) {
        Write(reg::P1, written);
        EXPECT_EQ(Read(reg::P1), read) << std::hex << int{written};
    }
}

TEST_F(Io, OamAndVideoDmas) {
    FillWram(160, 0x20);
    gb_->memory.oam_page[160] = 0xEE;
    Write(reg::DMA, 0xC0);  // a whole page at once
    EXPECT_TRUE(std::equal(gb_->memory.wram, gb_->memory.wram + 160, gb_->memory.oam_page));
    EXPECT_EQ(gb_->memory.oam_page[160], 0xEE);
    Write(reg::DMA, 0x40);  // from the switchable ROM bank
    EXPECT_EQ(gb_->memory.oam_page[0], 1);

    // A general copy runs at once; the low four bits of source and destination are ignored.
    Hdma(0xC00F, 0x012F, 0x01);
    EXPECT_EQ(VramCopied(0x120, 0x20), 32);
    EXPECT_EQ(Read(reg::HDMA5), 0xFF);
    // An H-blank copy moves one block of 16 bytes per call, counting down.
    FillWram(80, 1);
    Hdma(0xC000, 0x0000, 0x83);
    EXPECT_EQ(Read(reg::HDMA5), 0x83);
    EXPECT_EQ(VramCopied(0, 1), 0);
    for (u8 expected : {0x82, 0x81, 0x80, 0xFF}) {
        gb_->HblankDmaStep();
        EXPECT_EQ(Read(reg::HDMA5), expected);
    }
    EXPECT_EQ(s_.hdma_active, 0);
    gb_->HblankDmaStep();
    EXPECT_EQ(VramCopied(0, 1), 64) << "nothing copied once finished";
    // A general copy written while an H-blank copy runs replaces it.
    Write(reg::HDMA5, 0x81);
    gb_->memory.wram[0x100] = 0x42;
    Hdma(0xC100, 0x0000, 0x00);
    EXPECT_EQ(s_.hdma_active, 0);
    EXPECT_EQ(gb_->memory.vram[0], 0x42);
    EXPECT_EQ(Read(reg::HDMA5), 0xFF);
}

}  // namespace
}  // namespace kivo
