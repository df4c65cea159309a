// STUB: replaced by the sound implementation.
#include "machine/gbsys.h"
namespace kivo {
void TGBSYSF::SoundStep() {}
void TGBSYSF::TriggerChannel(int) {}
void TGBSYSF::StopChannel(int) {}
u32 TGBSYSF::NoiseRand() {
    noise_rng = noise_rng * 214013u + 2531011u;
    return (noise_rng >> 16) & 0x7FFF;
}
}  // namespace kivo
