#include "machine/idle_loop.h"

#include "machine/cpu_tables.h"

namespace kivo {

namespace {

// Longest loop body looked at, in bytes: polling loops are a handful of instructions.
constexpr u32 kMaxBodyBytes = 32;

// Memory whose content changes only when the program writes it, or at an event of the timer,
// the LCD or the sound unit (LY, STAT, IF, H-blank video DMA): everything but the divider, the
// timer's counter and the sound registers, which move with the cycles in between.
// Keys and IF also change from the GUI thread at any moment; a poll sees such a change at the
// end of the next event's step at the latest, as it would a little later key press.
bool StableBetweenEvents(u16 address) {
    if (address < 0xFF00) return true;
    const u8 n = address & 0xFF;
    if (n == reg::DIV || n == reg::TIMA) return false;
    return n < reg::NR10 || n > reg::WAVE_RAM + 15;
}

}  // namespace

bool IsIdleLoopBody(const TGBSYSF& gb, u16 begin, u16 jump, LoopReads* out) {
    const GbState& s = gb.state;
    out->count = 0;
    out->steps = 0;
    const u8 c = static_cast<u8>(s.BC);
    u32 pc = begin;
    while (pc < jump) {
        if (pc - begin >= kMaxBodyBytes) return false;
        const u8 op = gb.BusRead(static_cast<u16>(pc));
        const u8 z = op & 7;
        u32 length = 1;
        u32 cycles = cycle_table[op] * 4u;
        bool reads = false;
        u16 address = 0;
        if (op >= 0x40 && op <= 0x7F) {
            // LD r,r' and LD r,(HL); LD (HL),r writes and HALT stops.
            if (op == 0x76 || (op >= 0x70 && op <= 0x77)) return false;
            reads = z == 6;
            address = s.HL;
        } else if (op >= 0x80 && op <= 0xBF) {
            reads = z == 6;  // ALU A with a register or (HL)
            address = s.HL;
        } else {
            switch (op) {
                case 0x00:  // NOP
                case 0x03:
                case 0x13:
                case 0x23:
                case 0x33:  // INC rr
                case 0x0B:
                case 0x1B:
                case 0x2B:
                case 0x3B:  // DEC rr
                case 0x04:
                case 0x0C:
                case 0x14:
                case 0x1C:
                case 0x24:
                case 0x2C:
                case 0x3C:
                case 0x05:
                case 0x0D:
                case 0x15:
                case 0x1D:
                case 0x25:
                case 0x2D:
                case 0x3D:
                case 0x07:
                case 0x0F:
                case 0x17:
                case 0x1F:  // rotates of A
                case 0x27:
                case 0x2F:
                case 0x37:
                case 0x3F:  // DAA CPL SCF CCF
                case 0x09:
                case 0x19:
                case 0x29:
                case 0x39:  // ADD HL,rr
                case 0xF9:  // LD SP,HL
                    break;
                case 0x06:
                case 0x0E:
                case 0x16:
                case 0x1E:
                case 0x26:
                case 0x2E:
                case 0x3E:
                case 0xC6:
                case 0xCE:
                case 0xD6:
                case 0xDE:
                case 0xE6:
                case 0xEE:
                case 0xF6:
                case 0xFE:  // LD r,n and ALU A,n
                case 0xE8:
                case 0xF8:  // ADD SP,e and LD HL,SP+e
                    length = 2;
                    break;
                case 0x01:
                case 0x11:
                case 0x21:
                case 0x31:  // LD rr,nn
                    length = 3;
                    break;
                case 0x0A: reads = true, address = s.BC; break;  // LD A,(BC)
                case 0x1A: reads = true, address = s.DE; break;  // LD A,(DE)
                case 0xF2: reads = true, address = static_cast<u16>(0xFF00 | c); break;
                case 0xF0:  // LDH A,(n)
                    length = 2;
                    reads = true;
                    address = static_cast<u16>(0xFF00 | gb.BusRead(static_cast<u16>(pc + 1)));
                    break;
                case 0xFA:  // LD A,(nn)
                    length = 3;
                    reads = true;
                    address = static_cast<u16>(gb.BusRead(static_cast<u16>(pc + 1)) |
                                               gb.BusRead(static_cast<u16>(pc + 2)) << 8);
                    break;
                case 0xCB: {
                    // Register operations, and BIT on (HL); the other (HL) forms write.
                    const u8 cb = gb.BusRead(static_cast<u16>(pc + 1));
                    length = 2;
                    cycles = cb_cycle_table[cb] * 4u;
                    if ((cb & 7) == 6) {
                        if (cb < 0x40 || cb > 0x7F) return false;
                        reads = true;
                        address = s.HL;
                    }
                    break;
                }
                default:
                    // Writes, the stack, branches, IME, HALT and STOP, undefined opcodes.
                    return false;
            }
        }
        if (reads) {
            if (out->count == LoopReads::kMax || !StableBetweenEvents(address)) return false;
            out->address[out->count++] = address;
        }
        if (out->steps < LoopReads::kMaxSteps) out->cycles[out->steps] = static_cast<u8>(cycles);
        ++out->steps;
        pc += length;
    }
    return pc == jump;
}

}  // namespace kivo
