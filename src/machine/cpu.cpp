// STUB: replaced by the processor implementation.
#include "machine/gbsys.h"
namespace kivo {
void TGBSYSF::RunSlice() {}
void TGBSYSF::RequestInterrupt(u8 bits) { std::atomic_ref<u8>(state.IF).fetch_or(bits); }
void TGBSYSF::DispatchInterrupt(u8, u16) {}
}  // namespace kivo
