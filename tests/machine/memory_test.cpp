// The address map and the bank controllers; the 0xFF00 page (what each register write stores and
// starts, what each read returns, the joypad and both DMAs); power-on reset; and bounded file
// reads. The test images fill every byte of bank n with n (byte 1 with n's high bits), so a read
// at 0x4000 names the bank that is mapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

#include "machine/gbsys.h"
#include "machine/stream_read.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

class Memory : public testing::Test {
  protected:
    void Open(test::RomShape shape) {
        gb->system_type = 1;
        test::OpenImage(*gb, test::MakeRom(shape));
    }
    void Write(u8 n, u8 value) { gb->BusWrite(static_cast<u16>(0xFF00 | n), value); }
    u8 Read(u8 n) const { return gb->BusRead(static_cast<u16>(0xFF00 | n)); }
    // The bank mapped at 0x4000-0x7FFF, as the test image names it.
    u32 MappedBank() const { return gb->BusRead(0x4001) << 8 | gb->BusRead(0x4000); }
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
        for (int i = 0; i < count; ++i) gb->memory.wram[i] = static_cast<u8>(first + i);
    }
    int VramCopied(int at, int first) const {
        int n = 0;
        while (at + n < 0x2000 && gb->memory.vram[at + n] == static_cast<u8>(first + n)) ++n;
        return n;
    }

    std::unique_ptr<TGBSYSF> gb = std::make_unique<TGBSYSF>();
    GbState& s = gb->state;
};

// ---- the address map and the cartridge ----

// Each row opens a cartridge without a controller (in colour mode or not), makes bus writes in
// order and reads addresses back, both as pairs of address and byte. The echo range mirrors both
// work RAM halves and follows SVBK; the OAM page's unused tail is plain memory; the cartridge has
// 8 KB of RAM. In colour mode SVBK and VBK move work and video RAM, SVBK 0 selecting bank 1; in
// monochrome mode they only store their byte. DIV and LY restart at 0, other registers read back;
// by the console's rules IF's three unused bits read as 1.
TEST_F(Memory, BusWritesAndReadsReachTheirStorage) {
    // The cartridge's colour flag and whether the console's rules apply, then writes and reads.
    const struct {
        u8 cgb_flag;
        bool exact;
        std::vector<int> writes, reads;
    } rows[] = {
        // The address map.
        {0x00,
         false,
         {0x8000, 1, 0x9FFF, 2, 0xA000, 3, 0xBFFF, 4,  0xE123, 5,  0xDDFF, 6,
          0xF000, 7, 0xFE9F, 8, 0xFEFF, 9, 0xFF80, 10, 0xFFFE, 11, 0xFFFF, 0x1F},
         {0x8000, 1, 0x9FFF, 2, 0xA000, 3, 0xBFFF, 4,  0xC123, 5,  0xFDFF, 6,
          0xD000, 7, 0xFE9F, 8, 0xFEFF, 9, 0xFF80, 10, 0xFFFE, 11, 0xFFFF, 0x1F}},
        // The colour banks; SVBK 0, 8 and 0xF8 select bank 1.
        {0x80,
         false,
         {0xFF70, 3, 0xD000, 0xA3, 0xFF4F, 0xFF, 0x8000, 0xB1, 0xFF4F, 0, 0x8000, 0xB0, 0xFF4F, 1},
         {0xD000, 0xA3, 0xF000, 0xA3, 0x8000, 0xB1}},
        {0x80, false, {0xFF70, 1, 0xD000, 0xA1, 0xC000, 0xA0, 0xFF70, 0}, {0xD000, 0xA1}},
        {0x80, false, {0xFF70, 1, 0xD000, 0xA1, 0xFF70, 0x08}, {0xD000, 0xA1}},
        {0x80, false, {0xFF70, 1, 0xD000, 0xA1, 0xFF70, 0xF8}, {0xD000, 0xA1}},
        // Monochrome mode: SVBK and VBK store their byte only.
        {0x00,
         false,
         {0xD000, 0xA1, 0x8000, 0xB0, 0xFF70, 3, 0xFF4F, 1},
         {0xD000, 0xA1, 0x8000, 0xB0, 0xFF70, 3}},
        // Registers.
        {0x80,
         false,
         {0xFF04, 0x55, 0xFF07, 0xFD, 0xFF0F, 0xE5, 0xFF44, 0x99, 0xFF41, 0x81, 0xFF01, 0xA1,
          0xFF30, 0xA4, 0xFF3F, 0xA5, 0xFF4D, 0xA6, 0xFF56, 0xA8, 0xFF03, 0xAB, 0xFF7F, 0xAC},
         {0xFF04, 0,    0xFF07, 0xFD, 0xFF0F, 0xE5, 0xFF44, 0,    0xFF41, 0x81, 0xFF01, 0xA1,
          0xFF30, 0xA4, 0xFF3F, 0xA5, 0xFF4D, 0xA6, 0xFF56, 0xA8, 0xFF03, 0xAB, 0xFF7F, 0xAC}},
        // IF by the console's rules.
        {0x80, true, {0xFF0F, 0x05}, {0xFF0F, 0xE5}},
    };
    for (const auto& r : rows) {
        Open({.cgb_flag = r.cgb_flag});
        s.div_cycles = 200, s.LY = 90;
        gb->exact_slice = r.exact;
        for (std::size_t i = 0; i + 1 < r.writes.size(); i += 2) {
            gb->BusWrite(static_cast<u16>(r.writes[i]), static_cast<u8>(r.writes[i + 1]));
        }
        for (std::size_t i = 0; i + 1 < r.reads.size(); i += 2) {
            EXPECT_EQ(gb->BusRead(static_cast<u16>(r.reads[i])), r.reads[i + 1])
                << "row " << (&r - rows) << ": " << std::hex << r.reads[i];
        }
    }
}

TEST_F(Memory, ControllerRegistersSelectTheRomAndRamBanks) {
    using Writes = std::vector<std::pair<u16, u8>>;
    // Writes to the RAM enable range, and to every register of a cartridge without a controller
    // or with one that is not emulated, change nothing.
    const Writes enable = {{0x0000, 3}, {0x0A00, 3}, {0x1FFF, 3}};
    const Writes all = {{0x2000, 3}, {0x3000, 3}, {0x4000, 3}, {0x6000, 3}};
    // Type, banks in the image, writes, then the ROM and RAM banks selected.
    // MBC1: five bits at 0x2000 and two at 0x4000, which the mode sends to RAM instead; bank 0
    // is not turned into bank 1, and a mode change moves no bits. MBC2: sixteen ROM banks.
    // MBC3: seven bits; there are no clock registers, so 0x0A falls on RAM bank 2. MBC5: bit 8
    // from its own register, which the low byte keeps; only 512 banks are addressable.
    const std::tuple<u8, int, Writes, u32, u32> cases[] = {
        {0x01, 128, {{0x2100, 0x00}}, 0x00, 0},
        {0x01, 128, {{0x2000, 0x31}, {0x4000, 0x02}}, 0x51, 0},
        {0x01, 128, {{0x2000, 0x21}, {0x4000, 0x02}, {0x3FFF, 0xE3}}, 0x43, 0},
        {0x01, 128, {{0x2000, 0x03}, {0x6000, 1}, {0x4000, 3}}, 0x03, 3},
        {0x01, 128, {{0x2000, 0x03}, {0x6000, 1}, {0x4000, 3}, {0x7FFF, 0}, {0x5FFF, 1}}, 0x23, 3},
        {0x05, 16, {{0x2000, 0x1F}, {0x4000, 0x07}}, 15, 3},
        {0x13, 128, {{0x2000, 0x7F}}, 0x7F, 0},
        {0x13, 128, {{0x2000, 0x80}, {0x4000, 0x0A}, {0x6000, 0x01}}, 0x00, 2},
        {0x13, 128, {{0x4000, 0x0A}, {0x4000, 0x08}}, 0x01, 0},
        {0x1B, 0x106, {{0x2000, 0x05}, {0x3000, 0x01}, {0x2FFF, 0x04}}, 0x104, 0},
        {0x1B, 0x106, {{0x2000, 0x05}, {0x3000, 0x01}, {0x3FFF, 0x02}}, 0x05, 0},
        {0x1B, 0x106, {{0x4000, 0xFF}}, 0x01, 15},
        {0x1B, 513, {{0x2000, 0xFF}, {0x3000, 0x01}}, 0x1FF, 0},
        {0x00, 8, all, 1, 0},
        {0x01, 8, enable, 1, 0},
        {0x05, 8, enable, 1, 0},
        {0x13, 8, enable, 1, 0},
        {0x1B, 8, enable, 1, 0},
        {0x15, 8, all, 1, 0},
        {0xFC, 8, all, 1, 0}};
    for (const auto& [type, banks, writes, rom_bank, ram_bank] : cases) {
        Open({.banks = banks, .type = type});
        for (const auto& [address, value] : writes) gb->BusWrite(address, value);
        EXPECT_EQ(std::pair(MappedBank(), s.Bank_XRAM), std::pair(rom_bank, ram_bank))
            << "type " << int{type} << ", " << writes.size() << " writes";
    }
}

// A bank past the end of the file, as a program or a state file may select (0x40000 x 16 KB
// would wrap to 0 in 32 bits), keeps the bank mapped before; a file shorter than the window reads
// 0xFF past its end.
TEST_F(Memory, BanksPastTheEndOfTheFileKeepThePreviousBytes) {
    Open({.banks = 4, .type = 0x1B});
    gb->BusWrite(0x2000, 3);
    for (u32 bank : {9u, 0xFFFFFFFFu, 0x40000u}) {
        s.Bank_ROM1 = bank;
        gb->SwitchRomBank();
        EXPECT_EQ(MappedBank(), 3u) << bank;
    }
    auto image = test::MakeRom({.banks = 4, .type = 0x1B});
    image.resize(0x5000);
    test::OpenImage(*gb, image);
    EXPECT_EQ(std::tuple(gb->BusRead(0x4FFF), gb->BusRead(0x5000), gb->BusRead(0x7FFF)),
              std::tuple(1, 0xFF, 0xFF));
}

// ---- the 0xFF00 page ----

TEST_F(Memory, P1ShowsTheSelectedKeyGroupAndEveryPressRequestsTheInterrupt) {
    Open({});
    for (int key : std::initializer_list<int>{KEY_RIGHT, KEY_START, KEY_DOWN, KEY_A, -1, 8, 1000}) {
        s.IF = 0;
        gb->PressButton(key);
        EXPECT_EQ(s.IF, irq::JOYPAD) << "key " << key;  // also for keys bound to no button
    }
    // Key 8 is no button: releasing it must not let go of A (bit 0 of the button group).
    for (int key : std::initializer_list<int>{KEY_DOWN, -1, 8, 1000}) gb->ReleaseButton(key);
    // Directions first when both groups are selected; the upper nibble reads back as written.
    for (const auto& [written, read] :
         {std::pair<u8, u8>{0x20, 0x2E}, {0x10, 0x16}, {0x30, 0x3F}, {0x00, 0x0E}, {0xC0, 0xCE}}) {
        Write(reg::P1, written);
        EXPECT_EQ(Read(reg::P1), read) << std::hex << int{written};
    }
}

TEST_F(Memory, OamAndVideoDmas) {
    Open({.banks = 4, .cgb_flag = 0x80});
    FillWram(160, 0x20);
    gb->memory.oam_page[160] = 0xEE;
    Write(reg::DMA, 0xC0);  // a whole page at once
    EXPECT_TRUE(std::equal(gb->memory.wram, gb->memory.wram + 160, gb->memory.oam_page));
    EXPECT_EQ(gb->memory.oam_page[160], 0xEE);
    Write(reg::DMA, 0x40);  // from the switchable ROM bank
    EXPECT_EQ(gb->memory.oam_page[0], 1);

    // A general copy runs at once; the low four bits of source and destination are ignored.
    Hdma(0xC00F, 0x012F, 0x01);
    EXPECT_EQ(VramCopied(0x120, 0x20), 32);
    EXPECT_EQ(Read(reg::HDMA5), 0xFF);
    // An H-blank copy moves one block of 16 bytes per call, counting down.
    FillWram(80, 1);
    Hdma(0xC000, 0x0000, 0x83);
    EXPECT_EQ(Read(reg::HDMA5), 0x83);
    for (u8 expected : {0x82, 0x81, 0x80, 0xFF}) {
        gb->HblankDmaStep();
        EXPECT_EQ(Read(reg::HDMA5), expected);
    }
    gb->HblankDmaStep();
    EXPECT_EQ(VramCopied(0, 1), 64) << "nothing copied once finished";
    // A general copy written while an H-blank copy runs replaces it.
    Write(reg::HDMA5, 0x81);
    gb->memory.wram[0x100] = 0x42;
    Hdma(0xC100, 0x0000, 0x00);
    EXPECT_EQ(std::tuple(s.hdma_active, gb->memory.vram[0], Read(reg::HDMA5)),
              std::tuple(u8{0}, u8{0x42}, u8{0xFF}));
}

// ---- reset ----

// The monochrome system never runs in colour mode; the colour system follows the header's flag
// unless the option forces monochrome (1) or colour (any other non-zero value). Without a
// cartridge the machine stays monochrome.
TEST_F(Memory, ColourModeFollowsSystemTypeOptionAndHeader) {
    const struct {
        u32 system_type, force;
        u8 header_cgb_flag;
        int expected_a, expected_cgb_mode;
    } cases[] = {{0, 0, 0x80, 0x01, 0}, {0, 2, 0xC0, 0x01, 0}, {1, 0, 0x80, 0x11, 1},
                 {1, 0, 0xC0, 0x11, 1}, {1, 0, 0x00, 0x11, 0}, {1, 1, 0xC0, 0x11, 0},
                 {1, 2, 0x00, 0x11, 1}, {1, 77, 0x00, 0x11, 1}};
    for (const auto& c : cases) {
        gb->system_type = c.system_type;
        gb->system_force_cgbmode = c.force;
        test::OpenImage(*gb, test::MakeRom({.cgb_flag = c.header_cgb_flag}));
        EXPECT_EQ(std::pair(s.AF >> 8, int{s.CGB_MODE}),
                  std::pair(c.expected_a, c.expected_cgb_mode))
            << c.system_type << " " << c.force << " " << int{c.header_cgb_flag};
    }
    gb->CloseRom();
    gb->HardReset();
    EXPECT_EQ(std::pair(s.AF, s.CGB_MODE), std::pair(u16{0x11B0}, u8{0}));
}

// A reset maps bank 1 again, selects no key group, sets the sound unit playing and normal speed
// with no switch armed, and keeps memory, which a hard reset clears.
TEST_F(Memory, ResetSetsStartRegistersAndKeepsMemoryWhileHardResetClearsIt) {
    Open({.banks = 4, .type = 0x1B, .cgb_flag = 0x80});
    const u16 addresses[] = {0xC000, 0xD123, 0xA456, 0x8789, 0xFE10, 0xFF80, 0xFF30};
    for (u16 a : addresses) gb->BusWrite(a, 0x5A);
    gb->BusWrite(0x2000, 3);
    s.CGB_double_speed = s.BadOpCode = 1;
    Write(reg::KEY1, 0x81);
    gb->Reset();
    const std::pair<u32, u32> values[] = {
        {s.BC, 0x0013},          {s.DE, 0x00D8},       {s.HL, 0x014D},          {s.PC, 0x0100},
        {s.SP, 0xFFFE},          {MappedBank(), 1},    {Read(reg::P1), 0xFF},   {s.so1_volume, 7},
        {Read(reg::NR52), 0xFF}, {Read(reg::KEY1), 0}, {s.CGB_double_speed, 0}, {s.BadOpCode, 0},
        {s.LCDC, 0x91}};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(values[i].first, values[i].second) << "row " << i;
    }
    for (u16 a : addresses) EXPECT_EQ(gb->BusRead(a), 0x5A) << std::hex << a;
    gb->HardReset();
    for (u16 a : addresses) EXPECT_EQ(gb->BusRead(a), 0) << std::hex << a;
}

// ---- bounded file reads ----

TEST(StreamRead, ReadsUpToTheLimitWhateverTheFileSizeAndReportsAReadError) {
    const struct {
        std::size_t size, limit, skip;
    } cases[] = {{0, 100, 0},          {100, 100, 0},      {101, 100, 0},      {0x8001, 1 << 20, 0},
                 {300000, 1 << 20, 0}, {300000, 70000, 0}, {5000, 1000, 4500}, {5000, 1000, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.size << " bytes, limit " << c.limit << ", from " << c.skip);
        std::vector<u8> data(c.size);
        for (std::size_t i = 0; i < c.size; ++i) data[i] = static_cast<u8>(i * 7 + (i >> 8));
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        if (!data.empty()) std::fwrite(data.data(), 1, data.size(), file);
        std::fseek(file, static_cast<long>(c.skip), SEEK_SET);
        std::vector<u8> out(1, 0xEE);  // replaced, not appended to
        EXPECT_TRUE(ReadStreamUpTo(file, c.limit, &out));
        std::fclose(file);
        const std::size_t end = std::min(c.size, c.skip + c.limit);
        EXPECT_EQ(out, std::vector<u8>(data.begin() + c.skip, data.begin() + end));
        // The buffer follows the file, not the limit: a small file costs a small buffer.
        if (c.size > 0) {
            EXPECT_LE(out.capacity(), c.size - c.skip + 1);
        }
    }
    // A folder opens as a stream on Linux, and reading it fails.
    std::FILE* folder = std::fopen("/", "rb");
    ASSERT_NE(folder, nullptr);
    std::vector<u8> out;
    EXPECT_FALSE(ReadStreamUpTo(folder, 100, &out));
    std::fclose(folder);
}

}  // namespace
}  // namespace kivo
