// The cartridge information text: exact format, header bytes shown as they are, and the type
// names and answers for the decoded controller kind.
#include "ui/cart_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace kivo {
namespace {

std::string Expected(const std::string& title, const std::string& codes_after_title,
                     const char* type, const char* battery, const char* ram, const char* timer) {
    return " \n Title : " + title + " \n" + codes_after_title +
           " \n  \n Cartridge TypeName : " + type + " \n Cartridge Battery : " + battery +
           " \n Cartridge RAM : " + ram + " \n Cartridge Timer : " + timer + " \n  ";
}

TEST(CartridgeInfo, BlankWindowBeforeAnyRomAndAKnownHeader) {
    auto gb = std::make_unique<TGBSYSF>();
    // The 421-character format less its placeholders: 2 for the empty title, 17 x 2 for the
    // two-digit codes, plus "UNKNOWN" and "No" x 3 in place of their four "%s".
    EXPECT_EQ(CartridgeInfoText(*gb),
              Expected("",
                       " Manufacturer Code : 00000000 \n CGB Flag : 00 \n New Licensee Code : "
                       "0000 \n SGB Flag : 00 \n Cartridge Type : 00 \n ROM Size : 00 \n RAM Size "
                       ": 00 \n Destination Code : 00 \n Old Licensee Code : 00 \n Mask ROM "
                       "Version number : 00 \n Header Checksum : 00 \n Global Checksum : 0000",
                       "UNKNOWN", "No", "No", "No"));
    EXPECT_EQ(CartridgeInfoText(*gb).size(), 390u);

    std::memcpy(gb->rom + 0x134, "POKEMON RED", 11);
    const u8 fields[] = {0x80, 0x30, 0x31, 0x03, 0x13, 0x05, 0x03,
                         0x01, 0x33, 0x00, 0x20, 0x91, 0xE6};
    std::memcpy(gb->rom + 0x143, fields, sizeof fields);
    gb->mbc_kind = MBC_MBC3;
    gb->cart_battery = gb->cart_ram = true;
    EXPECT_EQ(CartridgeInfoText(*gb),
              Expected("POKEMON RED",
                       " Manufacturer Code : 00000000 \n CGB Flag : 80 \n New Licensee Code : "
                       "3031 \n SGB Flag : 03 \n Cartridge Type : 13 \n ROM Size : 05 \n RAM Size "
                       ": 03 \n Destination Code : 01 \n Old Licensee Code : 33 \n Mask ROM "
                       "Version number : 00 \n Header Checksum : 20 \n Global Checksum : 91E6",
                       "MBC3", "Yes", "Yes", "No"));
}

TEST(CartridgeInfo, FullTitleOverlapsTheManufacturerCodeAndKeepsItsBytes) {
    auto gb = std::make_unique<TGBSYSF>();
    std::memcpy(gb->rom + 0x134, "ABCDEFGHIJK\xE9MNO", 15);
    gb->rom[0x143] = 'P';  // not part of the title
    gb->mbc_kind = MBC_POCKET_CAMERA;
    gb->cart_timer = true;
    const std::string text = CartridgeInfoText(*gb);
    for (const char* line :
         {" Title : ABCDEFGHIJK\xE9MNO \n", " Manufacturer Code : E94D4E4F \n", " CGB Flag : 50 \n",
          " Cartridge TypeName : POCKET CAMERA \n", " Cartridge Timer : Yes \n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    }
}

}  // namespace
}  // namespace kivo
