#include "ui/cart_info.h"

#include <cstdio>
#include <cstring>

namespace kivo {

const char* const kCartridgeTypeNames[12] = {
    "UNKNOWN", "ROM ONLY",      "MBC1",         "MBC2",  "MBC3", "MBC4",
    "MBC5",    "POCKET CAMERA", "BANDAI TAMA5", "MMM01", "HUC3", "HUC1",
};

namespace {

const char* const kAnswers[2] = {"No", "Yes"};

constexpr char kFormat[] =
    " \n Title : %s \n Manufacturer Code : %02X%02X%02X%02X \n CGB Flag : %02X \n New Licensee "
    "Code : %02X%02X \n SGB Flag : %02X \n Cartridge Type : %02X \n ROM Size : %02X \n RAM Size "
    ": %02X \n Destination Code : %02X \n Old Licensee Code : %02X \n Mask ROM Version number : "
    "%02X \n Header Checksum : %02X \n Global Checksum : %02X%02X \n  \n Cartridge TypeName : %s "
    "\n Cartridge Battery : %s \n Cartridge RAM : %s \n Cartridge Timer : %s \n  ";

static_assert(sizeof kFormat - 1 == 421);

}  // namespace

std::string CartridgeInfoText(const TGBSYSF& gb) {
    // The title field is 15 bytes; its last four double as the manufacturer code.
    char title[16];
    std::memcpy(title, gb.rom + 0x134, 15);
    title[15] = '\0';

    auto h = [&](int offset) { return static_cast<unsigned>(gb.rom[offset]); };
    const char* type_name = kCartridgeTypeNames[gb.mbc_kind < 12 ? gb.mbc_kind : 0];

    // 421 characters with an empty title and the shortest names; at most 446 with a full title,
    // "POCKET CAMERA" and three "Yes".
    char text[512];
    const int length = std::snprintf(
        text, sizeof text, kFormat, title, h(0x13F), h(0x140), h(0x141), h(0x142), h(0x143),
        h(0x144), h(0x145), h(0x146), h(0x147), h(0x148), h(0x149), h(0x14A), h(0x14B), h(0x14C),
        h(0x14D), h(0x14E), h(0x14F), type_name, kAnswers[gb.cart_battery ? 1 : 0],
        kAnswers[gb.cart_ram ? 1 : 0], kAnswers[gb.cart_timer ? 1 : 0]);
    return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace kivo
