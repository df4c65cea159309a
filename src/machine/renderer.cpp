// STUB: replaced by the renderer implementation.
#include "machine/gbsys.h"
namespace kivo {
void TGBSYSF::RenderLine() {}
void TGBSYSF::DecodeTileRow(u8, u8, bool, const u8*, int*, int, bool, bool) {}
void TGBSYSF::DecodeDmgPalette(u8, u8*) {}
void TGBSYSF::WritePaletteByte(u8*, u8*, u8) {}
}  // namespace kivo
