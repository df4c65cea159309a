// Power-on reset: start registers, colour-mode decision, register start values and what the two
// kinds of reset keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

TEST(Reset, ColourModeFollowsSystemTypeOptionAndHeader) {
    // The monochrome system never runs in colour mode; the colour system follows the header's
    // flag unless the option forces monochrome (1) or colour (any other non-zero value).
    const struct {
        u32 system_type, force;
        u8 header_cgb_flag, expected_a, expected_cgb_mode;
    } cases[] = {{0, 0, 0x80, 0x01, 0}, {0, 2, 0xC0, 0x01, 0}, {1, 0, 0x80, 0x11, 1},
                 {1, 0, 0xC0, 0x11, 1}, {1, 0, 0x00, 0x11, 0}, {1, 1, 0xC0, 0x11, 0},
                 {1, 2, 0x00, 0x11, 1}, {1, 77, 0x00, 0x11, 1}};
    auto gb = std::make_unique<TGBSYSF>();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "system_type " << c.system_type << " force " << c.force
                                        << " header " << int{c.header_cgb_flag});
        gb->system_type = c.system_type;
        gb->system_force_cgbmode = c.force;
        test::OpenImage(*gb, test::MakeRom({.cgb_flag = c.header_cgb_flag}));
        EXPECT_EQ(gb->state.AF >> 8, c.expected_a);
        EXPECT_EQ(gb->state.CGB_MODE, c.expected_cgb_mode);
    }
    // Without a cartridge the machine stays monochrome and the ROM window is blank.
    gb = std::make_unique<TGBSYSF>();
    gb->system_force_cgbmode = 2;
    gb->HardReset();
    EXPECT_EQ(gb->state.CGB_MODE, 0);
    EXPECT_EQ(gb->state.AF, 0x11B0);
    for (u32 a = 0; a < 0x8000; a += 0x3FF) EXPECT_EQ(gb->BusRead(static_cast<u16>(a)), 0);
}

TEST(Reset, SetsStartRegistersBanksPalettesAndSound) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x19, .cgb_flag = 0x80}));
    gb->BusWrite(0x2000, 3);
    gb->state.CGB_double_speed = gb->state.BadOpCode = 1;
    gb->BusWrite(0xFF4D, 0x81);  // a speed switch armed
    gb->Reset();
    const GbState& s = gb->state;
    // Through the bus where a program would see it: bank 1 mapped again, no key group selected,
    // every sound channel on, normal speed with no switch armed. Square 1 plays frequency 0x700
    // (period (2048 - 0x700) x 4) at duty 50 % and volume 15.
    // clang-format off
    const std::pair<u32, u32> values[] = {
        {s.BC, 0x0013}, {s.DE, 0x00D8}, {s.HL, 0x014D}, {s.PC, 0x0100}, {s.SP, 0xFFFE},
        {s.Bank_ROM1, 1}, {gb->BusRead(0x4000), 1}, {s.Bank_WRAM1, 1}, {s.LCDC, 0x91}, {s.STAT, 0},
        {s.BGP, 0xFC}, {gb->BusRead(0xFF00), 0xFF}, {s.joy_dir, 0x0F}, {s.joy_btn, 0x0F},
        {s.so1_volume, 7}, {s.so2_volume, 7}, {gb->BusRead(0xFF25), 0xF3},
        {gb->BusRead(0xFF26), 0xFF}, {s.CGB_double_speed, 0}, {gb->BusRead(0xFF4D), 0},
        {s.BadOpCode, 0}, {s.channels[0].freq_period, 1024}, {s.channels[0].duty, 2},
        {s.channels[0].env_initial, 15}};
    // clang-format on
    for (std::size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(values[i].first, values[i].second) << "row " << i;
    }
    // 0xFC: colour 0 white, colours 1-3 black; colour palettes white and black.
    const u8 shades_fc[16] = {0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(shades_fc, shades_fc + 16, s.bgp_colors));
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ(s.cgb_bg_colors[i], i % 4 == 3 ? 0 : 0xFF);
        EXPECT_EQ(s.cgb_obj_colors[i], 0);
    }
}

TEST(Reset, KeepsMemoryWhileHardResetClearsIt) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom());
    const u16 addresses[] = {0xC000, 0xD123, 0xA456, 0x8789, 0xFE10, 0xFF80, 0xFF30, 0xFF01};
    for (u16 a : addresses) gb->BusWrite(a, 0x5A);
    gb->Reset();
    for (u16 a : addresses) EXPECT_EQ(gb->BusRead(a), 0x5A) << std::hex << a;
    gb->HardReset();
    for (u16 a : addresses) EXPECT_EQ(gb->BusRead(a), 0) << std::hex << a;
}

}  // namespace
}  // namespace kivo
