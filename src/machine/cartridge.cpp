// STUB: replaced by the cartridge implementation.
#include "machine/gbsys.h"
namespace kivo {
bool TGBSYSF::LoadCartridge(std::FILE*, std::string*) { return true; }
void TGBSYSF::LoadCartridgeImage(std::vector<u8> image) { rom_image = std::move(image); }
void TGBSYSF::MbcWrite(u16, u8) {}
void TGBSYSF::SwitchRomBank() {}
}  // namespace kivo
