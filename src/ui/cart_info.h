// The "Cartridge Info..." text: the header fields of ROM bank 0 and the system's reading of the
// cartridge type. It describes whatever the ROM window holds, so after "Close ROM" it still
// shows the last cartridge, and before any ROM every code reads 00 and the type "UNKNOWN".
#pragma once

#include <string>

#include "machine/gbsys.h"

namespace kivo {

// Names of the controller kinds, indexed by mbc_kind (MBC_UNKNOWN .. MBC_HUC1).
extern const char* const kCartridgeTypeNames[12];

// The information box's text, 20 lines separated by line feeds. The title bytes (0x134-0x142 up
// to the first zero) are copied as they are; a viewer decides how to show bytes above 0x7F.
std::string CartridgeInfoText(const TGBSYSF& gb);

}  // namespace kivo
