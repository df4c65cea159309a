// The cartridge information text against the published cartridge header: each field shows the
// bytes at its header address, and the type code decodes to its controller and board parts.
#include "ui/cart_info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "support/rom_builder.h"

namespace kivo {
namespace {

// The header fields by their published addresses, as " <label> : <bytes in hex> " lines.
struct HeaderField {
    const char* label;
    int address;
    int bytes;
};
constexpr HeaderField kHeaderFields[] = {
    {"Manufacturer Code", 0x13F, 4}, {"CGB Flag", 0x143, 1},
    {"New Licensee Code", 0x144, 2}, {"SGB Flag", 0x146, 1},
    {"Cartridge Type", 0x147, 1},    {"ROM Size", 0x148, 1},
    {"RAM Size", 0x149, 1},          {"Destination Code", 0x14A, 1},
    {"Old Licensee Code", 0x14B, 1}, {"Mask ROM Version number", 0x14C, 1},
    {"Header Checksum", 0x14D, 1},   {"Global Checksum", 0x14E, 2},
};

std::string Line(const std::string& label, const std::string& value) {
    return " " + label + " : " + value + " \n";
}

std::string Hex(const u8* bytes, int count) {
    std::string text;
    char digits[3];
    for (int i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

TEST(CartridgeInfo, EachFieldShowsTheBytesAtItsHeaderAddress) {
    auto gb = std::make_unique<TGBSYSF>();
    // Before any ROM the window is zero: an empty title and every field 00.
    const std::string blank = CartridgeInfoText(*gb);
    EXPECT_EQ(blank.rfind(" \n Title :  \n", 0), 0u) << blank;
    EXPECT_NE(blank.find(Line("Cartridge TypeName", "UNKNOWN")), std::string::npos) << blank;

    // Every header byte holds its own address's low byte, so a field read from the wrong address
    // shows the wrong digits. The title's last four bytes double as the manufacturer code.
    for (int address = 0x134; address <= 0x14F; ++address) gb->rom[address] = address & 0xFF;
    std::memcpy(gb->rom + 0x134, "TITLE", 5);
    const std::string text = CartridgeInfoText(*gb);
    std::string title(reinterpret_cast<const char*>(gb->rom + 0x134), 15);
    EXPECT_NE(text.find(Line("Title", title)), std::string::npos) << text;
    std::size_t last = 0;
    for (const HeaderField& field : kHeaderFields) {
        const std::string line = Line(field.label, Hex(gb->rom + field.address, field.bytes));
        const std::size_t at = text.find(line);
        EXPECT_NE(at, std::string::npos) << line << " in " << text;
        EXPECT_GT(at, last) << field.label << " out of order";  // in header order
        last = at;
    }
}

TEST(CartridgeInfo, TypeCodesNameTheControllerAndTheBoardParts) {
    // Published type codes (header byte 0x147), opened as a cartridge.
    const struct {
        u8 code;
        const char* name;
        const char* battery;
        const char* ram;
        const char* timer;
    } types[] = {
        {0x00, "ROM ONLY", "No", "No", "No"},      {0x03, "MBC1", "Yes", "Yes", "No"},
        {0x06, "MBC2", "Yes", "No", "No"},         {0x0F, "MBC3", "Yes", "No", "Yes"},
        {0x13, "MBC3", "Yes", "Yes", "No"},        {0x1B, "MBC5", "Yes", "Yes", "No"},
        {0xFC, "POCKET CAMERA", "No", "No", "No"}, {0xFF, "HUC1", "Yes", "Yes", "No"},
        {0x20, "UNKNOWN", "No", "No", "No"},
    };
    for (const auto& t : types) {
        auto gb = std::make_unique<TGBSYSF>();
        test::OpenImage(*gb, test::MakeRom({.type = t.code}));
        const std::string text = CartridgeInfoText(*gb);
        for (const std::string& line :
             {Line("Cartridge TypeName", t.name), Line("Cartridge Battery", t.battery),
              Line("Cartridge RAM", t.ram), Line("Cartridge Timer", t.timer)}) {
            EXPECT_NE(text.find(line), std::string::npos) << int{t.code} << ": " << line;
        }
    }
}

}  // namespace
}  // namespace kivo
