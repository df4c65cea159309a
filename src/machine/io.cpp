// STUB: replaced by the I/O implementation.
#include "machine/gbsys.h"
namespace kivo {
void TGBSYSF::IoWrite(u16 address, u8 value) { memory.io_page[address & 0xFF] = value; }
u8 TGBSYSF::IoRead(u16 address) const { return memory.io_page[address & 0xFF]; }
void TGBSYSF::HblankDmaStep() {}
void TGBSYSF::PressButton(int) {}
void TGBSYSF::ReleaseButton(int) {}
}  // namespace kivo
