// STUB: replaced by the LCD timing implementation.
#include "machine/gbsys.h"
namespace kivo {
void TGBSYSF::LcdStep() {}
void TGBSYSF::SetLcdMode(u8) {}
void TGBSYSF::CompareLy() {}
void TGBSYSF::FrameSkipStep() {}
}  // namespace kivo
