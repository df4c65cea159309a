// Power-on reset: start registers, colour-mode decision, register start values and what the two
// kinds of reset keep.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "machine/gbsys.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

struct ModeCase {
    u32 system_type;
    u32 force;
    u8 header_cgb_flag;
    u8 expected_a;
    u8 expected_cgb_mode;
};

TEST(Reset, ColourModeFollowsSystemTypeOptionAndHeader) {
    const ModeCase cases[] = {
        // The monochrome system never runs in colour mode, whatever the cartridge wants.
        {0, 0, 0x80, 0x01, 0},
        {0, 2, 0xC0, 0x01, 0},
        // The colour system follows the header's flag...
        {1, 0, 0x80, 0x11, 1},
        {1, 0, 0xC0, 0x11, 1},
        {1, 0, 0x00, 0x11, 0},
        // ...unless the option forces monochrome (1) or colour (any other value).
        {1, 1, 0xC0, 0x11, 0},
        {1, 2, 0x00, 0x11, 1},
        {1, 77, 0x00, 0x11, 1},
    };
    auto gb = std::make_unique<TGBSYSF>();
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "system_type " << c.system_type << " force " << c.force
                                        << " header " << int{c.header_cgb_flag});
        gb->system_type = c.system_type;
        gb->system_force_cgbmode = c.force;
        test::OpenImage(*gb, test::MakeRom({.cgb_flag = c.header_cgb_flag}));
        EXPECT_EQ(gb->state.AF >> 8, c.expected_a);
        EXPECT_EQ(gb->state.CGB_MODE, c.expected_cgb_mode);
    }
}

TEST(Reset, WithoutCartridgeStaysMonochromeAndLeavesTheWindowBlank) {
    auto gb = std::make_unique<TGBSYSF>();
    gb->system_type = 1;
    gb->system_force_cgbmode = 2;
    gb->HardReset();
    EXPECT_EQ(gb->state.CGB_MODE, 0);
    EXPECT_EQ(gb->state.AF, 0x11B0);
    for (u32 a = 0; a < 0x8000; a += 0x3FF) EXPECT_EQ(gb->BusRead(static_cast<u16>(a)), 0);
}

TEST(Reset, SetsStartRegistersBanksAndPalettes) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x19}));
    gb->BusWrite(0x2000, 3);
    gb->Reset();
    const GbState& s = gb->state;
    EXPECT_EQ(s.BC, 0x0013);
    EXPECT_EQ(s.DE, 0x00D8);
    EXPECT_EQ(s.HL, 0x014D);
    EXPECT_EQ(s.PC, 0x0100);
    EXPECT_EQ(s.SP, 0xFFFE);
    EXPECT_EQ(s.Bank_ROM1, 1u);
    EXPECT_EQ(gb->BusRead(0x4000), 1) << "bank 1 mapped again";
    EXPECT_EQ(s.Bank_WRAM1, 1u);
    EXPECT_EQ(s.LCDC, 0x91);
    EXPECT_EQ(s.STAT, 0);
    EXPECT_EQ(s.BGP, 0xFC);
    EXPECT_EQ(gb->BusRead(0xFF00), 0xFF) << "no key group selected";
    EXPECT_EQ(s.joy_dir, 0x0F);
    EXPECT_EQ(s.joy_btn, 0x0F);
    // 0xFC: colour 0 white, colours 1-3 black.
    const u8 shades_fc[16] = {0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(shades_fc, shades_fc + 16, s.bgp_colors));
    for (int i = 0; i < 128; ++i) {
        EXPECT_EQ(s.cgb_bg_colors[i], i % 4 == 3 ? 0 : 0xFF);
        EXPECT_EQ(s.cgb_obj_colors[i], 0);
    }
}

TEST(Reset, StartsTheSoundUnitWithAllFourChannelsTriggered) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom());
    const GbState& s = gb->state;
    for (int c = 0; c < 4; ++c) EXPECT_EQ(s.channels[c].ch_on, 1u) << "channel " << c;
    EXPECT_EQ(s.snd_master_on, 1);
    EXPECT_EQ(s.so1_volume, 7);
    EXPECT_EQ(s.so2_volume, 7);
    EXPECT_EQ(gb->BusRead(0xFF25), 0xF3);
    EXPECT_EQ(gb->BusRead(0xFF26), 0xF1 | 0x0F);
    // Square 1: frequency 0x700 (period (2048 - 0x700) x 4), duty 50 %, volume 15.
    EXPECT_EQ(s.channels[0].freq_period, 1024u);
    EXPECT_EQ(s.channels[0].duty, 2u);
    EXPECT_EQ(s.channels[0].env_initial, 15u);
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

TEST(Reset, ReturnsToNormalSpeedWithNoSwitchArmed) {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.cgb_flag = 0x80}));
    gb->state.CGB_double_speed = 1;
    gb->BusWrite(0xFF4D, 0x81);
    gb->state.BadOpCode = 1;
    gb->Reset();
    EXPECT_EQ(gb->state.CGB_double_speed, 0);
    EXPECT_EQ(gb->BusRead(0xFF4D), 0);
    EXPECT_EQ(gb->state.BadOpCode, 0);
}

}  // namespace
}  // namespace kivo
