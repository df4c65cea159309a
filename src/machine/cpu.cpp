// The processor and the run slice.
//
// The processor interprets the LR35902 instruction set with its own cycle tables and the Z80
// flag layout (see cpu_tables.h). The run slice drives the whole machine one instruction step at
// a time: after each instruction it advances the divider and the timer, runs the sound and LCD
// steps, wakes a halted processor and serves at most one interrupt. The timer, sound and LCD
// work of steps that only count is deferred to the next step where one of them acts (see
// "deferring the per-step work"); reference_mode runs it at every step.
//
// Decoding follows the structure of the opcode map: an opcode is x (bits 7-6), y (bits 5-3) and
// z (bits 2-0); y and z name registers in the order B, C, D, E, H, L, (HL), A, y names the ALU
// operation or branch condition, and y's upper two bits (p) name a register pair. Each opcode's
// handler is a template instance chosen at compile time from those fields, and one table of 256
// handlers (and one for the 0xCB page) serves the dispatch.
//
// Every handler comes in two builds, chosen once per run slice: the machine's own (Z80 flag
// layout and rules) and the console's (system_exact_hardware: the console's flag rules, the HALT
// bug, RES and SET (HL) at 16 cycles). In both, F is kept in the Z80 layout in GbState, so state
// files, branch conditions and the debugger read one layout; the console's flag byte (Z 0x80, N
// 0x40, H 0x20, C 0x10) exists only where a program sees it, through PUSH AF and POP AF.
//
// GbState stays the only copy of the processor registers: other units and the debugger read it
// between steps, and state files store it.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <utility>

#include "machine/cpu_tables.h"
#include "machine/gbsys.h"
#include "machine/idle_loop.h"

namespace kivo {

namespace {

// Backlog cap of the timer prescaler. A run of instructions longer than a 16-cycle timer period
// adds to the backlog faster than one increment per step works it off; without a cap the count
// would eventually overflow.
constexpr i32 kPrescalerCap = 1 << 24;

// ---- registers ----

// Byte offsets of B, C, D, E, H, L, -, A inside GbState. A pair is stored little-endian with its
// first register as the high byte: B is byte 3 of the state, C byte 2, and A is byte 1 of AF.
constexpr int kRegByte[8] = {3, 2, 5, 4, 7, 6, -1, 1};

inline u8* StateBytes(GbState& s) {
    return reinterpret_cast<u8*>(&s);
}
inline u8& RegA(GbState& s) {
    return StateBytes(s)[1];
}
inline u8& RegF(GbState& s) {
    return StateBytes(s)[0];
}

template <int r>
inline u8& Reg(GbState& s) {
    static_assert(r >= 0 && r < 8 && r != 6, "(HL) is a memory operand");
    return StateBytes(s)[kRegByte[r]];
}

// Register pairs as the pair field p names them: BC, DE, HL, SP; for PUSH and POP, AF instead of
// SP.
template <int p>
inline u16& Pair(GbState& s) {
    switch (p) {
        case 0: return s.BC;
        case 1: return s.DE;
        case 2: return s.HL;
        default: return s.SP;
    }
}
template <int p>
inline u16& StackPair(GbState& s) {
    return p == 3 ? s.AF : Pair<p>(s);
}

// ---- memory ----

// The processor's reads: everything below 0xF000 is plain memory, read through the page map;
// only the top page (echo, OAM, I/O registers, high RAM) needs the bus.
[[gnu::always_inline]] inline u8 CpuRead(TGBSYSF& gb, u16 address) {
    if (const u8* page = gb.read_pages[address >> 12]) [[likely]] {
        return page[address & 0x0FFF];
    }
    return gb.BusRead(address);
}

// The processor's writes: plain memory directly through the page map, the rest through the bus.
[[gnu::always_inline]] inline void CpuWrite(TGBSYSF& gb, u16 address, u8 value) {
    if (u8* page = gb.write_pages[address >> 12]) [[likely]] {
        page[address & 0x0FFF] = value;
        return;
    }
    gb.BusWrite(address, value);
}

// Opcode and operand fetches.
[[gnu::always_inline]] inline u8 Fetch8(TGBSYSF& gb, u16& pc) {
    return CpuRead(gb, pc++);
}

// Both bytes in one read when they lie in the same page of plain memory (the host is
// little-endian, as layout.h requires).
[[gnu::always_inline]] inline u16 Fetch16(TGBSYSF& gb, u16& pc) {
    const u8* page = gb.read_pages[pc >> 12];
    if (page != nullptr && (pc & 0x0FFF) != 0x0FFF) [[likely]] {
        u16 value;
        std::memcpy(&value, page + (pc & 0x0FFF), 2);
        pc = static_cast<u16>(pc + 2);
        return value;
    }
    const u8 lo = Fetch8(gb, pc);
    const u8 hi = Fetch8(gb, pc);
    return static_cast<u16>(hi << 8 | lo);
}

// The stack's two bytes in one access when both lie in the same page of plain memory: the low
// byte at the lower address, as the byte-wise order leaves them.
[[gnu::always_inline]] inline void Push16(TGBSYSF& gb, u16 value) {
    GbState& s = gb.state;
    const u16 low = static_cast<u16>(s.SP - 2);
    u8* page = gb.write_pages[low >> 12];
    if (page != nullptr && (low & 0x0FFF) != 0x0FFF) [[likely]] {
        std::memcpy(page + (low & 0x0FFF), &value, 2);
        s.SP = low;
        return;
    }
    CpuWrite(gb, --s.SP, static_cast<u8>(value >> 8));
    CpuWrite(gb, --s.SP, static_cast<u8>(value));
}

[[gnu::always_inline]] inline u16 Pop16(TGBSYSF& gb) {
    GbState& s = gb.state;
    const u16 sp = s.SP;
    const u8* page = gb.read_pages[sp >> 12];
    if (page != nullptr && (sp & 0x0FFF) != 0x0FFF) [[likely]] {
        u16 value;
        std::memcpy(&value, page + (sp & 0x0FFF), 2);
        s.SP = static_cast<u16>(sp + 2);
        return value;
    }
    const u8 lo = CpuRead(gb, s.SP++);
    const u8 hi = CpuRead(gb, s.SP++);
    return static_cast<u16>(hi << 8 | lo);
}

// A taken jump to `target`, at or before the jump instruction at `from` (idle_loop.h).
inline void NoteBackwardJump(TGBSYSF& gb, u16 from, u16 target);

// The operand named by a register field: a register, or the byte at HL for 6.
template <int r>
[[gnu::always_inline]] inline u8 ReadOperand(TGBSYSF& gb) {
    if constexpr (r == 6)
        return CpuRead(gb, gb.state.HL);
    else
        return Reg<r>(gb.state);
}
template <int r>
[[gnu::always_inline]] inline void WriteOperand(TGBSYSF& gb, u8 value) {
    if constexpr (r == 6)
        CpuWrite(gb, gb.state.HL, value);
    else
        Reg<r>(gb.state) = value;
}

// ---- flags and arithmetic ----

// Branch conditions by number: NZ, Z, NC, C.
template <int cc>
[[gnu::always_inline]] inline bool Condition(const GbState& s) {
    const u8 f = static_cast<u8>(s.AF);
    switch (cc) {
        case 0: return !(f & flag::Z);
        case 1: return f & flag::Z;
        case 2: return !(f & flag::C);
        default: return f & flag::C;
    }
}

// Z of a result byte, for the console's rules, which have no S and no parity.
[[gnu::always_inline]] inline u8 ZeroFlag(u32 r) {
    return (r & 0xFF) == 0 ? flag::Z : 0;
}

// ADD and ADC: the sum is taken in more than 8 bits so that bit 8 is the carry.
template <bool kExact>
[[gnu::always_inline]] inline void Add8(GbState& s, u8 x, u32 carry) {
    u8& a = RegA(s);
    const u32 r = a + x + carry;
    if constexpr (kExact) {
        RegF(s) = static_cast<u8>(ZeroFlag(r) | ((a ^ x ^ r) & flag::H) | ((r >> 8) & flag::C));
        a = static_cast<u8>(r);
        return;
    }
    const bool overflow = ~(a ^ x) & (x ^ r) & 0x80;
    RegF(s) = static_cast<u8>(sz_flags[r & 0xFF] | ((a ^ x ^ r) & flag::H) |
                              (overflow ? flag::PV : 0) | ((r >> 8) & flag::C));
    a = static_cast<u8>(r);
}

// SUB, SBC and CP: a negative difference wraps modulo 2^32, so bit 8 is the borrow.
template <bool kExact>
[[gnu::always_inline]] inline void Sub8(GbState& s, u8 x, u32 carry, bool store) {
    u8& a = RegA(s);
    const u32 r = a - x - carry;
    if constexpr (kExact) {
        RegF(s) =
            static_cast<u8>(ZeroFlag(r) | ((a ^ x ^ r) & flag::H) | flag::N | ((r >> 8) & flag::C));
        if (store) a = static_cast<u8>(r);
        return;
    }
    const bool overflow = (a ^ x) & (a ^ r) & 0x80;
    RegF(s) = static_cast<u8>(sz_flags[r & 0xFF] | ((a ^ x ^ r) & flag::H) |
                              (overflow ? flag::PV : 0) | flag::N | ((r >> 8) & flag::C));
    if (store) a = static_cast<u8>(r);
}

// The eight ALU operations by the y field: ADD, ADC, SUB, SBC, AND, XOR, OR, CP. SUB A, XOR A
// and CP A need no special case: the general rules give F = 0x42, 0x44 and 0x42 (0x42, 0x40 and
// 0x42 by the console's rules).
template <int op, bool kExact>
[[gnu::always_inline]] inline void Alu(GbState& s, u8 x) {
    u8& a = RegA(s);
    const u32 carry = RegF(s) & flag::C;
    switch (op) {
        case 0: Add8<kExact>(s, x, 0); break;
        case 1: Add8<kExact>(s, x, carry); break;
        case 2: Sub8<kExact>(s, x, 0, true); break;
        case 3: Sub8<kExact>(s, x, carry, true); break;
        case 4:
            a &= x;
            RegF(s) = (kExact ? ZeroFlag(a) : szp_flags[a]) | flag::H;
            break;
        case 5:
            a ^= x;
            RegF(s) = kExact ? ZeroFlag(a) : szp_flags[a];
            break;
        case 6:
            a |= x;
            RegF(s) = kExact ? ZeroFlag(a) : szp_flags[a];
            break;
        default: Sub8<kExact>(s, x, 0, false); break;
    }
}

template <bool kExact>
[[gnu::always_inline]] inline u8 Inc8(GbState& s, u8 v) {
    const u8 r = static_cast<u8>(v + 1);
    if constexpr (kExact) {
        RegF(s) =
            static_cast<u8>((RegF(s) & flag::C) | ZeroFlag(r) | ((r & 0x0F) == 0 ? flag::H : 0));
        return r;
    }
    RegF(s) = static_cast<u8>((RegF(s) & flag::C) | sz_flags[r] | (r == 0x80 ? flag::PV : 0) |
                              ((r & 0x0F) == 0 ? flag::H : 0));
    return r;
}

template <bool kExact>
[[gnu::always_inline]] inline u8 Dec8(GbState& s, u8 v) {
    const u8 r = static_cast<u8>(v - 1);
    if constexpr (kExact) {
        RegF(s) = static_cast<u8>((RegF(s) & flag::C) | ZeroFlag(r) |
                                  ((r & 0x0F) == 0x0F ? flag::H : 0) | flag::N);
        return r;
    }
    RegF(s) = static_cast<u8>((RegF(s) & flag::C) | sz_flags[r] | (r == 0x7F ? flag::PV : 0) |
                              ((r & 0x0F) == 0x0F ? flag::H : 0) | flag::N);
    return r;
}

// The flags that ADD HL, the rotates of A, SCF and CCF keep: S, Z, the two copy bits and P/V.
// The console's rules keep only Z.
constexpr u8 kKeepSzxyPv = flag::S | flag::Z | flag::Y | flag::X | flag::PV;
template <bool kExact>
constexpr u8 kKeptFlags = kExact ? u8{flag::Z} : kKeepSzxyPv;

template <bool kExact>
[[gnu::always_inline]] inline void AddHl(GbState& s, u16 x) {
    const u32 sum = u32{s.HL} + x;
    RegF(s) = static_cast<u8>((RegF(s) & kKeptFlags<kExact>) | (((s.HL ^ x ^ sum) >> 8) & flag::H) |
                              (sum >> 16));
    s.HL = static_cast<u16>(sum);
}

// Rotates of A (RLCA, RRCA, RLA, RRA) by y = 0-3. Unlike the 0xCB rotates they keep S, Z and
// P/V and report only the carry; by the console's rules they clear Z too.
template <int y, bool kExact>
[[gnu::always_inline]] inline void RotateA(GbState& s) {
    u8& a = RegA(s);
    const u8 f = RegF(s);
    const u8 v = a, carry_in = f & flag::C;
    switch (y) {
        case 0: a = static_cast<u8>(v << 1 | v >> 7); break;
        case 1: a = static_cast<u8>(v >> 1 | v << 7); break;
        case 2: a = static_cast<u8>(v << 1 | carry_in); break;
        default: a = static_cast<u8>(v >> 1 | carry_in << 7); break;
    }
    const u8 out = (y & 1) ? (v & 1) : (v >> 7);
    RegF(s) = static_cast<u8>((kExact ? 0 : f & kKeepSzxyPv) | out);
}

// The 0xCB rotate and shift group by y: RLC, RRC, RL, RR, SLA, SRA, SWAP, SRL. RL and RR report
// S, Z and parity with the bit shifted out; the others only Z and that bit (all of them by the
// console's rules).
template <int y, bool kExact>
[[gnu::always_inline]] inline u8 Shift(GbState& s, u8 v) {
    u8& f = RegF(s);
    const u8 carry_in = f & flag::C;
    u8 r, out;
    switch (y) {
        case 0: r = static_cast<u8>(v << 1 | v >> 7), out = v >> 7; break;
        case 1: r = static_cast<u8>(v >> 1 | v << 7), out = v & 1; break;
        case 2: r = static_cast<u8>(v << 1 | carry_in), out = v >> 7; break;
        case 3: r = static_cast<u8>(v >> 1 | carry_in << 7), out = v & 1; break;
        case 4: r = static_cast<u8>(v << 1), out = v >> 7; break;
        case 5: r = static_cast<u8>(v >> 1 | (v & 0x80)), out = v & 1; break;
        case 6: r = static_cast<u8>(v << 4 | v >> 4), out = 0; break;
        default: r = v >> 1, out = v & 1; break;
    }
    if constexpr (!kExact && (y == 2 || y == 3)) {
        f = szp_flags[r] | out;
    } else {
        f = (r == 0 ? flag::Z : 0) | out;
    }
    return r;
}

// ---- special instructions ----

// The console's DAA: a correction of 0x06 and 0x60 chosen by H, C and A's digits, added after an
// addition and subtracted after a subtraction; H is cleared, N kept, C set by a 0x60 correction
// after an addition and kept after a subtraction.
[[gnu::always_inline]] inline void DaaExact(GbState& s) {
    const u8 f = RegF(s);
    u8& a = RegA(s);
    bool carry = f & flag::C;
    if (f & flag::N) {
        if (carry) a = static_cast<u8>(a - 0x60);
        if (f & flag::H) a = static_cast<u8>(a - 0x06);
    } else {
        if (carry || a > 0x99) {
            a = static_cast<u8>(a + 0x60);
            carry = true;
        }
        if ((f & flag::H) || (a & 0x0F) > 9) a = static_cast<u8>(a + 0x06);
    }
    RegF(s) = static_cast<u8>(ZeroFlag(a) | (f & flag::N) | (carry ? flag::C : 0));
}

[[gnu::always_inline]] inline void Daa(GbState& s) {
    const u8 f = RegF(s);
    const u32 index = RegA(s) | (f & flag::C) << 8 | (f & flag::H) << 5 | (f & flag::N) << 9;
    s.AF = daa_table[index];
}

// STOP is one byte long here. With the speed switch armed in colour mode it switches the speed
// and goes on at once; KEY1 then reads the new speed in bit 7 with the switch disarmed.
// Otherwise the processor idles until any interrupt request appears, as with HALT.
inline void Stop(TGBSYSF& gb) {
    GbState& s = gb.state;
    u8& key1 = gb.memory.io_page[reg::KEY1];
    s.flag_stop = 1;
    if (s.CGB_MODE && (key1 & 0x01)) {
        // The LCD's mode lengths and the sound unit's rates follow the speed.
        gb.SyncDeferred();
        gb.SoundSync();
        s.flag_stop = 0;
        s.CGB_double_speed = s.CGB_double_speed ? 0 : 1;
        key1 = static_cast<u8>((key1 & 0x7E) | (s.CGB_double_speed ? 0x80 : 0x00));
    }
}

// An undefined opcode freezes the machine from the next slice on; this one runs to its end and
// the opcode costs nothing. Once the machine is frozen, further undefined opcodes in the same
// slice cost 4 cycles: otherwise memory filled with them (a state file can hold any bytes) would
// keep the slice from ever reaching its limit, and the emulation thread would never come back.
inline void Undefined(GbState& s) {
    if (s.BadOpCode) s.op_cycles = 4;
    // The window's timer reads the flag while the machine runs.
    std::atomic_ref<u8>(s.BadOpCode).store(1, std::memory_order_relaxed);
}

// ---- the 0xCB page ----

template <unsigned op, bool kExact>
[[gnu::always_inline]] inline void ExecuteCb(TGBSYSF& gb) {
    constexpr int x = op >> 6, y = (op >> 3) & 7, z = op & 7;
    GbState& s = gb.state;
    // On the console RES and SET of (HL) take a cycle more than BIT: they write back.
    if constexpr (kExact && x >= 2 && z == 6) s.op_cycles += 4;
    if constexpr (x == 0) {
        WriteOperand<z>(gb, Shift<y, kExact>(s, ReadOperand<z>(gb)));
    } else if constexpr (x == 1 && kExact) {  // BIT: Z reports a clear bit
        RegF(s) = static_cast<u8>((RegF(s) & flag::C) | ZeroFlag(ReadOperand<z>(gb) & (1 << y)) |
                                  flag::H);
    } else if constexpr (x == 1) {  // BIT: Z and P/V both report a clear bit
        RegF(s) = static_cast<u8>((RegF(s) & flag::C) | szp_flags[ReadOperand<z>(gb) & (1 << y)] |
                                  flag::H);
    } else if constexpr (x == 2) {  // RES
        WriteOperand<z>(gb, static_cast<u8>(ReadOperand<z>(gb) & ~(1 << y)));
    } else {  // SET
        WriteOperand<z>(gb, static_cast<u8>(ReadOperand<z>(gb) | (1 << y)));
    }
}

using Handler = void (*)(TGBSYSF&);

// The handlers by the console's rules lie in a section of their own, apart from the machine's
// own: interleaved with them, they would spread the default's hot code over twice the space.
template <unsigned op>
void OwnCb(TGBSYSF& gb) {
    ExecuteCb<op, false>(gb);
}
template <unsigned op>
[[gnu::section(".text.kivo_exact")]] void ExactCb(TGBSYSF& gb) {
    ExecuteCb<op, true>(gb);
}

template <bool kExact, std::size_t... op>
constexpr std::array<Handler, 256> MakeCbTable(std::index_sequence<op...>) {
    if constexpr (kExact)
        return {&ExactCb<op>...};
    else
        return {&OwnCb<op>...};
}
template <bool kExact>
constexpr std::array<Handler, 256> kCbHandlers =
    MakeCbTable<kExact>(std::make_index_sequence<256>{});

template <bool kExact>
[[gnu::always_inline]] inline void PrefixCb(TGBSYSF& gb, u16& pc) {
    const u8 op = Fetch8(gb, pc);
    gb.state.op_cycles = cb_cycle_table[op] * 4u;  // replaces the prefix's own cost
    kCbHandlers<kExact>[op](gb);
}

// ---- the main page ----

// x = 0: loads of pairs and immediates, 16-bit arithmetic, INC and DEC, relative jumps and the
// one-byte specials.
template <unsigned op, bool kExact>
[[gnu::always_inline]] inline void ExecuteBlock0(TGBSYSF& gb, u16& pc) {
    constexpr int y = (op >> 3) & 7, z = op & 7, p = y >> 1, q = y & 1;
    GbState& s = gb.state;
    if constexpr (z == 0) {
        if constexpr (y == 0) {         // NOP
        } else if constexpr (y == 1) {  // LD (a16),SP
            const u16 address = Fetch16(gb, pc);
            CpuWrite(gb, address, static_cast<u8>(s.SP));
            CpuWrite(gb, static_cast<u16>(address + 1), static_cast<u8>(s.SP >> 8));
        } else if constexpr (y == 2) {
            Stop(gb);
        } else {  // JR e; JR cc,e for y = 4-7
            const auto e = static_cast<std::int8_t>(Fetch8(gb, pc));
            if constexpr (y >= 4) {
                if (!Condition<y - 4>(s)) return;
                s.op_cycles += kJumpTakenExtra;
            }
            const u16 from = static_cast<u16>(pc - 2);
            pc = static_cast<u16>(pc + e);
            if (e <= -2) NoteBackwardJump(gb, from, pc);
        }
    } else if constexpr (z == 1) {
        if constexpr (q == 0)
            Pair<p>(s) = Fetch16(gb, pc);  // LD rr,d16
        else
            AddHl<kExact>(s, Pair<p>(s));  // ADD HL,rr
    } else if constexpr (z == 2) {
        // A to or from (BC), (DE), (HL+), (HL-).
        u16 address;
        if constexpr (p == 0)
            address = s.BC;
        else if constexpr (p == 1)
            address = s.DE;
        else
            address = s.HL;
        if constexpr (q == 0)
            CpuWrite(gb, address, RegA(s));
        else
            RegA(s) = CpuRead(gb, address);
        if constexpr (p == 2)
            ++s.HL;
        else if constexpr (p == 3)
            --s.HL;
    } else if constexpr (z == 3) {  // INC rr, DEC rr: no flags
        if constexpr (q == 0)
            ++Pair<p>(s);
        else
            --Pair<p>(s);
    } else if constexpr (z == 4) {
        WriteOperand<y>(gb, Inc8<kExact>(s, ReadOperand<y>(gb)));
    } else if constexpr (z == 5) {
        WriteOperand<y>(gb, Dec8<kExact>(s, ReadOperand<y>(gb)));
    } else if constexpr (z == 6) {  // LD r,d8
        WriteOperand<y>(gb, Fetch8(gb, pc));
    } else {
        if constexpr (y < 4) {
            RotateA<y, kExact>(s);
        } else if constexpr (y == 4) {
            if constexpr (kExact)
                DaaExact(s);
            else
                Daa(s);
        } else if constexpr (y == 5) {  // CPL
            RegA(s) = static_cast<u8>(~RegA(s));
            RegF(s) |= flag::H | flag::N;
        } else if constexpr (y == 6) {  // SCF
            RegF(s) = static_cast<u8>((RegF(s) & kKeptFlags<kExact>) | flag::C);
        } else if constexpr (kExact) {  // CCF: H and N cleared
            const u8 f = RegF(s);
            RegF(s) = static_cast<u8>((f & flag::Z) | ((f & flag::C) ^ 1));
        } else {  // CCF: H takes the old carry
            const u8 f = RegF(s);
            RegF(s) = static_cast<u8>((f & kKeepSzxyPv) | (f & flag::C) << 4 | ((f & flag::C) ^ 1));
        }
    }
}

// x = 3: returns, calls, jumps, the stack, the high page, ALU with an immediate, RST, the 0xCB
// prefix and the undefined opcodes.
template <unsigned op, bool kExact>
[[gnu::always_inline]] inline void ExecuteBlock3(TGBSYSF& gb, u16& pc) {
    constexpr int y = (op >> 3) & 7, z = op & 7, p = y >> 1, q = y & 1;
    GbState& s = gb.state;
    if constexpr (z == 0) {
        if constexpr (y < 4) {  // RET cc
            if (!Condition<y>(s)) return;
            s.op_cycles += kCallTakenExtra;
            pc = Pop16(gb);
        } else if constexpr (y == 4) {  // LDH (a8),A
            gb.BusWrite(static_cast<u16>(0xFF00 | Fetch8(gb, pc)), RegA(s));
        } else if constexpr (y == 6) {  // LDH A,(a8): the bus serves 0xFF00-0xFFFF by IoRead
            RegA(s) = gb.IoRead(static_cast<u16>(0xFF00 | Fetch8(gb, pc)));
        } else {  // ADD SP,e and LD HL,SP+e change no flag
            const u8 byte = Fetch8(gb, pc);
            const auto e = static_cast<std::int8_t>(byte);
            const u16 sum = static_cast<u16>(s.SP + e);
            if constexpr (kExact) {
                // The console's: H and C are the carries out of bits 3 and 7 of the low byte's
                // unsigned addition; Z and N are cleared.
                const u32 low = (s.SP & 0xFF) + byte;
                RegF(s) =
                    static_cast<u8>((((s.SP ^ byte ^ low) & 0x10) ? flag::H : 0) | (low >> 8));
            }
            if constexpr (y == 5)
                s.SP = sum;
            else
                s.HL = sum;
        }
    } else if constexpr (z == 1) {
        if constexpr (q == 0) {
            StackPair<p>(s) = Pop16(gb);  // POP; POP AF loads F unchanged
            if constexpr (kExact && p == 3) RegF(s) = FlagsFromConsole(RegF(s));
        } else if constexpr (p == 0) {
            pc = Pop16(gb);  // RET
        } else if constexpr (p == 1) {
            s.IME = 1;  // RETI
            pc = Pop16(gb);
        } else if constexpr (p == 2) {
            pc = s.HL;  // JP (HL)
        } else {
            s.SP = s.HL;  // LD SP,HL
        }
    } else if constexpr (z == 2) {
        if constexpr (y < 4) {  // JP cc,a16
            const u16 target = Fetch16(gb, pc);
            if (!Condition<y>(s)) return;
            s.op_cycles += kJumpTakenExtra;
            const u16 from = static_cast<u16>(pc - 3);
            pc = target;
            if (target <= from) NoteBackwardJump(gb, from, pc);
        } else {
            u16 address;
            if constexpr ((y & 1) == 0)
                address = static_cast<u16>(0xFF00 | Reg<1>(s));  // (C)
            else
                address = Fetch16(gb, pc);  // (a16)
            if constexpr (y < 6)
                CpuWrite(gb, address, RegA(s));
            else if constexpr ((y & 1) == 0)
                RegA(s) = gb.IoRead(address);  // (C) lies in the high page
            else
                RegA(s) = CpuRead(gb, address);
        }
    } else if constexpr (z == 3) {
        if constexpr (y == 0) {  // JP a16
            const u16 from = static_cast<u16>(pc - 1);
            pc = Fetch16(gb, pc);
            if (pc <= from) NoteBackwardJump(gb, from, pc);
        } else if constexpr (y == 1)
            PrefixCb<kExact>(gb, pc);
        else if constexpr (y == 6)
            s.IME = 0;  // DI
        else if constexpr (y == 7)
            s.IME = 1;  // EI, effective at once
        else
            Undefined(s);
    } else if constexpr (z == 4) {
        if constexpr (y < 4) {  // CALL cc,a16
            const u16 target = Fetch16(gb, pc);
            if (!Condition<y>(s)) return;
            s.op_cycles += kCallTakenExtra;
            Push16(gb, pc);
            pc = target;
        } else {
            Undefined(s);
        }
    } else if constexpr (z == 5) {
        if constexpr (q == 0 && kExact && p == 3) {
            Push16(gb, static_cast<u16>((s.AF & 0xFF00) | ConsoleFlags(RegF(s))));
        } else if constexpr (q == 0) {
            Push16(gb, StackPair<p>(s));
        } else if constexpr (p == 0) {  // CALL a16
            const u16 target = Fetch16(gb, pc);
            Push16(gb, pc);
            pc = target;
        } else {
            Undefined(s);
        }
    } else if constexpr (z == 6) {
        Alu<y, kExact>(s, Fetch8(gb, pc));
    } else {  // RST
        Push16(gb, pc);
        pc = static_cast<u16>(y * 8);
    }
}

// An instruction's work, from pc (just after its opcode) to the next instruction's address, which
// it returns. PC stays in a register through the step; GbState's copy is written by the caller.
u16 HaltBug(TGBSYSF& gb, u16 pc);

template <unsigned op, bool kExact>
[[gnu::always_inline]] inline u16 Execute(TGBSYSF& gb, u16 pc) {
    constexpr int x = op >> 6, y = (op >> 3) & 7, z = op & 7;
    if constexpr (op == 0x76) {
        // HALT: PC already points past it. Steps idle until a request enabled in IE appears in IF.
        // On the console, with IME clear and such a request already standing, it does not halt.
        if constexpr (kExact) {
            GbState& s = gb.state;
            const u8 requests = std::atomic_ref<u8>(s.IF).load(std::memory_order_relaxed);
            if (!s.IME && (requests & s.IE & 0x1F)) return HaltBug(gb, pc);
        }
        gb.state.flag_halt = 1;
    } else if constexpr (x == 1) {
        WriteOperand<y>(gb, ReadOperand<z>(gb));
    } else if constexpr (x == 2) {
        Alu<y, kExact>(gb.state, ReadOperand<z>(gb));
    } else if constexpr (x == 0) {
        ExecuteBlock0<op, kExact>(gb, pc);
    } else {
        ExecuteBlock3<op, kExact>(gb, pc);
    }
    return pc;
}

using StepHandler = u16 (*)(TGBSYSF&, u16);

template <unsigned op>
u16 OwnStep(TGBSYSF& gb, u16 pc) {
    return Execute<op, false>(gb, pc);
}
template <unsigned op>
[[gnu::section(".text.kivo_exact")]] u16 ExactStep(TGBSYSF& gb, u16 pc) {
    return Execute<op, true>(gb, pc);
}

template <bool kExact, std::size_t... op>
constexpr std::array<StepHandler, 256> MakeTable(std::index_sequence<op...>) {
    if constexpr (kExact)
        return {&ExactStep<op>...};
    else
        return {&OwnStep<op>...};
}
template <bool kExact>
constexpr std::array<StepHandler, 256> kHandlers =
    MakeTable<kExact>(std::make_index_sequence<256>{});

// The console's HALT bug: the byte after HALT is fetched without PC moving on, so it is read
// twice: as this opcode and again as its own first operand, or, for a one-byte instruction, as
// the next opcode too. Its instruction runs in the HALT's step, which costs both; a second HALT
// is left to the next step.
[[gnu::noinline]] u16 HaltBug(TGBSYSF& gb, u16 pc) {
    GbState& s = gb.state;
    const u8 op = CpuRead(gb, pc);
    if (op == 0x76) return pc;
    const u32 halt_cycles = s.op_cycles;
    s.op_cycles = cycle_table[op] * 4u;
    pc = kHandlers<true>[op](gb, pc);
    s.op_cycles += halt_cycles;
    return pc;
}

// ---- per-step work ----

// A prescaler read from GbState may hold any value a state file gave it: clamping before the
// addition keeps the sum from overflowing, and a negative count simply climbs back.
inline bool AdvancePrescaler(i32& count, u32 cycles, u32 period) {
    i32 c = (count > kPrescalerCap ? kPrescalerCap : count) + static_cast<i32>(cycles);
    const bool due = c >= static_cast<i32>(period);
    if (due) c -= static_cast<i32>(period);
    count = c;
    return due;
}

// The divider's prescaler takes the cap once, when a slice or a single step begins, rather than
// at every step: its period (256 cycles) is longer than any step, so a count within the cap
// stays within it, and each step gives exactly what the per-step cap would.
inline void CapDividerBacklog(GbState& s) {
    if (s.div_cycles > kPrescalerCap) s.div_cycles = kPrescalerCap;
}

// The divider counts every 256 cycles; the timer, while TAC bit 2 is set, at the period TAC's low
// bits choose. Each counts at most once per step and carries the excess to later steps; on the
// console (exact_slice) the timer counts every period that passed, so that a long instruction
// leaves no backlog at the 16-cycle period.
inline void TimerStep(TGBSYSF& gb, u32 cycles) {
    GbState& s = gb.state;
    // No overflow: the count is at most kPrescalerCap (CapDividerBacklog) and cycles small.
    s.div_cycles += static_cast<i32>(cycles);
    if (s.div_cycles >= 256) {
        s.div_cycles -= 256;
        ++s.DIV;
    }
    if (!(s.TAC & 0x04)) return;
    const u32 period = timer_periods[s.TAC & 3];
    for (u32 left = cycles; AdvancePrescaler(s.tima_cycles, left, period); left = 0) {
        if (s.TIMA == 0xFF) {
            s.TIMA = s.TMA;
            gb.RequestInterrupt(irq::TIMER);
        } else {
            ++s.TIMA;
        }
        if (!gb.exact_slice) break;
    }
}

// Ends HALT or STOP. The sound unit left the idle steps pending (SoundCatchUp): they are
// replayed before the processor's steps join them. Out of line: the step loop stays small.
[[gnu::noinline]] void Wake(TGBSYSF& gb) {
    gb.state.flag_halt = 0;
    gb.state.flag_stop = 0;
    gb.SyncDeferred();
    gb.SoundSync();
}

// Wake and dispatch, at the end of a step, so that requests made during the step count. HALT
// waits for a request that is also enabled in IE, whatever IME says: a game that leaves an LCD
// STAT or joypad request standing that it never enabled still sleeps until its V-blank. STOP ends
// on any request. A request is served only when IME is set and its IE bit is set, lowest bit
// first, one per step.
// Returns whether an interrupt was dispatched, which moves PC.
[[gnu::always_inline]] inline bool ServiceInterrupts(TGBSYSF& gb) {
    GbState& s = gb.state;
    const u8 requests = std::atomic_ref<u8>(s.IF).load(std::memory_order_relaxed) & 0x1F;
    const u8 pending = s.IE & requests;
    // Most steps end here, also while a request the program never enabled stands.
    if (pending == 0 && !(s.flag_stop && requests != 0)) [[likely]]
        return false;
    if (s.flag_stop | s.flag_halt) Wake(gb);
    if (!(s.IME && pending)) return false;
    const u8 bit = static_cast<u8>(pending & -pending);
    gb.DispatchInterrupt(bit, static_cast<u16>(0x0040 + 8 * std::countr_zero(bit)));
    return true;
}

// Hands a finished frame to the presenter. Presenting waits for the display's retrace, which is
// what paces the emulation.
void HandOverFrame(TGBSYSF& gb) {
    if (gb.presenter) {
        gb.presenter->CopyFrameToSurface(gb.memory.frame_buffer);
        gb.presenter->PresentFrame();
    }
    gb.state.frame_ready = 0;
    ++gb.frame_count;
    ++gb.deferred_epoch;  // the presenter may have pressed keys
}

// ---- deferring the per-step work ----
//
// Most steps change nothing but counts in the timer, the sound unit and the LCD: the divider's
// and the timer's prescalers, the LCD's cycles into its mode, the sound unit's pending cycles.
// Such steps only add their cycles to deferred_cycles. Planning after a full step computes how
// many cycles can pass before one of the units must act (deferred_budget); the step that reaches
// it applies the deferred cycles and then runs the timer, sound and LCD work in full, exactly as
// it would have run at every step. GbState is therefore exact at every step that does something,
// and reads of the only registers whose value moves in between (DIV and TIMA) add the deferred
// cycles on the fly (IoRead).

// Cycles a run of steps may add before one of them needs the divider or the timer in full. The
// divider never does while its count is within [0, 256): every step is shorter than its period,
// so the increments of a run of steps are the whole multiples of 256 in its cycles. The timer at
// a period longer than any step counts the same way, up to the increment that overflows (the
// request and the reload). At the 16-cycle period a long step leaves a backlog that only steps
// of their own drain, so each increment is an event there. Counts outside these ranges come only
// from a state file: every step then runs in full until they are back.
u32 TimerCyclesToEvent(const GbState& s) {
    if (s.div_cycles < 0 || s.div_cycles >= 256) return 0;
    if (!(s.TAC & 0x04)) return UINT32_MAX;
    const u32 period = timer_periods[s.TAC & 3];
    if (s.tima_cycles < 0 || s.tima_cycles >= static_cast<i32>(period)) return 0;
    const u32 to_next = period - static_cast<u32>(s.tima_cycles);
    if (period <= kLongestStep) return to_next;
    return to_next + (0xFFu - s.TIMA) * period;
}

// Applies the cycles of deferred steps: none of them reached a unit's event, so each unit only
// counts, and the timer's increments are those the plan allowed.
void ApplyDeferred(TGBSYSF& gb, u32 cycles, u32 steps) {
    if (steps == 0) return;
    GbState& s = gb.state;
    s.slice_cycles += cycles;
    s.DIV = DividerAfter(s, cycles);
    s.div_cycles = static_cast<i32>((static_cast<u32>(s.div_cycles) + cycles) % 256);
    if (s.TAC & 0x04) {
        s.TIMA = TimerCounterAfter(s, cycles);
        const u32 period = timer_periods[s.TAC & 3];
        s.tima_cycles = static_cast<i32>((static_cast<u32>(s.tima_cycles) + cycles) & (period - 1));
    }
    s.lcd_cycles = static_cast<i32>(static_cast<u32>(s.lcd_cycles) + cycles);
    gb.SoundAddQuietSteps(cycles, steps);
}

// Cycles from now until the slice's end: the slice ends when slice_cycles reaches the limit bit.
inline u32 CyclesToSliceEnd(const TGBSYSF& gb) {
    const u32 limit = gb.slice_limit;
    return limit - (gb.state.slice_cycles & (limit - 1));
}

void PlanDeferred(TGBSYSF& gb) {
    gb.deferred_cycles = 0;
    gb.deferred_steps = 0;
    ++gb.deferred_epoch;
    gb.lcd_lead = 0;
    gb.sound_lead = 0;
    if (gb.reference_mode) {
        gb.deferred_budget = 0;
        return;
    }
    const u32 lcd = gb.LcdCyclesToEvent();
    const u32 sound = gb.SoundCyclesToEvent();
    const u32 timer_or_end = std::min(TimerCyclesToEvent(gb.state), CyclesToSliceEnd(gb));
    const u32 others = std::min(sound, timer_or_end);
    gb.deferred_budget = std::min(lcd, others);
    if (lcd != 0 && lcd < others) gb.lcd_lead = others - lcd;
    const u32 not_sound = std::min(lcd, timer_or_end);
    if (sound != 0 && sound < not_sound) gb.sound_lead = not_sound - sound;
}

// The step that reached the budget: the earlier deferred steps are applied, then this step runs
// the timer, sound and LCD work in full, and the next run of steps is planned.
[[gnu::noinline]] void RunDeferredWork(TGBSYSF& gb) {
    const u32 cycles = gb.state.op_cycles;
    ApplyDeferred(gb, gb.deferred_cycles - cycles, gb.deferred_steps - 1);
    gb.deferred_cycles = 0;
    gb.deferred_steps = 0;
    gb.state.slice_cycles += cycles;
    TimerStep(gb, cycles);
    gb.SoundAdvance();
    gb.LcdStep();
    PlanDeferred(gb);
}

// Whole passes in `cycles`, by a multiplication: the budget is at most a slice (2^19 cycles),
// and for x < 2^20 and d < 2^20, (x * (floor(2^40 / d) + 1)) >> 40 is x / d exactly (the excess
// is below x / 2^40 < 1 / d).
u64 PassReciprocal(u32 pass_cycles) {
    return pass_cycles == 0 ? 0 : (u64{1} << 40) / pass_cycles + 1;
}
inline u32 PassesIn(const TGBSYSF::IdleLoop& loop, u32 cycles) {
    if (cycles >= (1u << 20)) [[unlikely]]
        return cycles / loop.pass_cycles;
    return static_cast<u32>((cycles * loop.pass_reciprocal) >> 40);
}

// Whether the pass as measured is the jump and the body's steps as decoded, which the walk below
// counts one by one.
bool PassMatchesBody(const TGBSYSF::IdleLoop& loop, u32 jump_cycles) {
    if (loop.body_steps > LoopReads::kMaxSteps || loop.pass_steps != loop.body_steps + 1) {
        return false;
    }
    u32 cycles = jump_cycles;
    for (u32 i = 0; i < loop.body_steps; ++i) cycles += loop.body_cycles[i];
    return cycles == loop.pass_cycles;
}

// Whether a skip that repeats steps or passes of `span` cycles can go on through the next
// deadline: it is the LCD's mode end, which comes more than a span and a step before any other
// unit's event or the slice's end, and is quiet for what the skip repeats (LcdEventUnseen).
bool LcdEventCanBeWalked(const TGBSYSF& gb, bool reads_stat, bool reads_ly, u32 span) {
    if (gb.lcd_lead <= span + kLongestStep) return false;
    return gb.LcdEventUnseen(reads_stat, reads_ly, span);
}

// A halted or stopped processor that nothing will wake idles in steps of 4 cycles that do
// nothing but count: those short of the budget are taken at once. At a quiet LCD event the step
// that reaches it runs the deferred work as RunStep would, and the skip goes on to the next
// deadline. A request from another thread (a key press) lands between two steps either way; it
// is seen at the end of the step after the skip.
inline void SkipIdleSteps(TGBSYSF& gb) {
    GbState& s = gb.state;
    if (!gb.skip_idle) return;
    for (;;) {
        const u8 requests = std::atomic_ref<u8>(s.IF).load(std::memory_order_relaxed) & 0x1F;
        if (s.flag_stop ? requests != 0 : (requests & s.IE) != 0) return;
        const u32 room = gb.deferred_budget - gb.deferred_cycles;
        const u32 steps = room == 0 ? 0 : (room - 1) / 4;
        gb.deferred_cycles += steps * 4;
        gb.deferred_steps += steps;
        if (!LcdEventCanBeWalked(gb, false, false, 4)) return;
        s.op_cycles = 4;
        gb.deferred_cycles += 4;
        ++gb.deferred_steps;
        if (gb.deferred_cycles >= gb.deferred_budget) RunDeferredWork(gb);
    }
}

// Whether the pass after the jump in progress can be walked through the event due in it (see
// LcdEventCanBeWalked): the walk then meets that one event only.
bool CanWalkThroughEvent(const TGBSYSF& gb, const TGBSYSF::IdleLoop& loop) {
    if (!loop.walkable) return false;
    bool reads_stat = false;
    bool reads_ly = false;
    for (u32 i = 0; i < loop.read_count; ++i) {
        reads_stat |= loop.reads[i] == 0xFF00 + reg::STAT;
        reads_ly |= loop.reads[i] == 0xFF00 + reg::LY;
    }
    if (LcdEventCanBeWalked(gb, reads_stat, reads_ly, loop.pass_cycles)) return true;
    // The sound unit's event changes nothing a pass reads but its registers, and requests no
    // interrupt.
    if (gb.sound_lead <= loop.pass_cycles + kLongestStep) return false;
    for (u32 i = 0; i < loop.read_count; ++i) {
        if (loop.reads[i] >= 0xFF00 + reg::NR10 && loop.reads[i] <= 0xFF00 + reg::WAVE_RAM + 15) {
            return false;
        }
    }
    return true;
}

// Counts one pass as RunStep would, step by step from the jump in progress through the body,
// running the deferred work at the step that reaches the budget. The event there changes
// nothing the pass sees and requests no interrupt, so the pass goes on as it would have.
void WalkPassThroughEvent(TGBSYSF& gb, const TGBSYSF::IdleLoop& loop) {
    GbState& s = gb.state;
    const u32 jump_cycles = s.op_cycles;
    for (u32 i = 0; i <= loop.body_steps; ++i) {
        s.op_cycles = i == 0 ? jump_cycles : loop.body_cycles[i - 1];
        gb.deferred_cycles += s.op_cycles;
        ++gb.deferred_steps;
        if (gb.deferred_cycles >= gb.deferred_budget) RunDeferredWork(gb);
    }
    s.op_cycles = jump_cycles;
}

// Takes more passes of the loop the processor is in, all at once: nothing but counts change, as
// in the steps SkipIdleSteps takes. The current step (the loop's jump) is still to be counted,
// so the passes leave room for it below the budget and the slice's end; a quiet LCD event
// in between is walked through, and the passes go on to the next deadline.
void SkipLoopPasses(TGBSYSF& gb, const TGBSYSF::IdleLoop& loop) {
    GbState& s = gb.state;
    if (!gb.skip_idle) return;
    if (s.frame_ready && gb.screen_enable) return;  // the next step hands a frame over
    const u8 requests = std::atomic_ref<u8>(s.IF).load(std::memory_order_relaxed) & 0x1F;
    if (s.IME && (requests & s.IE)) return;  // the step ends with an interrupt
    for (;;) {
        const u32 after_step = gb.deferred_cycles + s.op_cycles;
        if (after_step < gb.deferred_budget) {
            const u32 passes = PassesIn(loop, gb.deferred_budget - after_step - 1);
            gb.deferred_cycles += passes * loop.pass_cycles;
            gb.deferred_steps += passes * loop.pass_steps;
        }
        if (!CanWalkThroughEvent(gb, loop)) return;
        WalkPassThroughEvent(gb, loop);
    }
}

// What identifies the code of a loop from target to the jump at `from` when it lies in ROM: bank
// 0, or the bank mapped at 0x4000. Null when its bytes may change without a bank switch: in RAM,
// or in a bank cut short by the end of the file, whose bytes are copied into the window.
const u8* RomCode(const TGBSYSF& gb, u16 target, u16 from) {
    if (from >= 0x7FFD) return nullptr;  // the jump itself may reach past the ROM
    if (target < 0x4000 && from < 0x3FFD) return gb.rom;
    return gb.rom_bank1 == gb.rom + kRomBankSize ? nullptr : gb.rom_bank1;
}

// A backward jump whose pass repeats: the registers are those of the last arrival at this jump,
// with no event in between (a new loop), or those of the loop last seen to repeat, whose reads
// give the same bytes as then. Either way every pass up to the next event does the same. Returns
// false when the loop last seen (known) reads other bytes now, or decodes otherwise.
[[gnu::noinline]] bool RepeatedPass(TGBSYSF& gb, u16 from, bool known) {
    GbState& s = gb.state;
    TGBSYSF::IdleLoop& loop = gb.idle_loop;
    if (known && loop.rom_code != nullptr && loop.rom_code == RomCode(gb, s.PC, from)) {
        // The same code with the same registers reads the same addresses.
        for (u32 i = 0; i < loop.read_count; ++i) {
            if (gb.BusRead(loop.reads[i]) != loop.values[i]) return false;
        }
        SkipLoopPasses(gb, loop);
        return true;
    }
    const TGBSYSF::LoopArrival& last = gb.loop_arrival;
    if (!known && loop.pass_cycles != 0 && loop.place == last.place &&
        (loop.registers >> 16) == (last.registers >> 16) &&
        loop.rom_code != nullptr &&  // AF is the low 16 bits
        loop.rom_code == RomCode(gb, s.PC, from) &&
        loop.pass_cycles == gb.deferred_cycles - last.cycles) {
        // The loop last seen, come round with other values in A and F only (a poll of LY after
        // the line changed): its code, and BC, DE and HL, which give the addresses it reads, are
        // the same, so its decode still holds.
        loop.registers = last.registers;
        for (u32 i = 0; i < loop.read_count; ++i) loop.values[i] = gb.BusRead(loop.reads[i]);
        SkipLoopPasses(gb, loop);
        return true;
    }
    LoopReads reads;
    if (!IsIdleLoopBody(gb, s.PC, from, &reads)) {
        loop.pass_cycles = 0;
        return true;
    }
    if (known) {
        if (reads.count != loop.read_count || reads.steps != loop.body_steps ||
            std::memcmp(reads.cycles, loop.body_cycles, sizeof reads.cycles) != 0) {
            return false;
        }
        for (u32 i = 0; i < reads.count; ++i) {
            if (reads.address[i] != loop.reads[i] ||
                gb.BusRead(reads.address[i]) != loop.values[i]) {
                return false;
            }
        }
    } else {
        loop.registers = last.registers;
        loop.place = last.place;
        loop.pass_cycles = gb.deferred_cycles - last.cycles;
        loop.pass_steps = gb.deferred_steps - last.steps;
        loop.rom_code = RomCode(gb, s.PC, from);
        loop.read_count = reads.count;
        loop.body_steps = reads.steps;
        std::memcpy(loop.body_cycles, reads.cycles, sizeof reads.cycles);
        loop.walkable = PassMatchesBody(loop, s.op_cycles);
        loop.pass_reciprocal = PassReciprocal(loop.pass_cycles);
        for (u32 i = 0; i < reads.count; ++i) {
            loop.reads[i] = reads.address[i];
            loop.values[i] = gb.BusRead(reads.address[i]);
        }
        if (loop.pass_cycles == 0) return true;
    }
    SkipLoopPasses(gb, loop);
    return true;
}

// A delay loop, `DEC r` and `JR NZ` back to it: nothing changes in its passes but r, F and the
// counts. Its passes before the last one (which reaches 0) are taken at once, up to the next
// deadline, as SkipLoopPasses takes a polling loop's, and r and F are left as the last of them
// leaves them: F keeps C and takes the rest from that decrement.
[[gnu::noinline]] void SkipCountdown(TGBSYSF& gb, u16 from) {
    GbState& s = gb.state;
    if (!gb.skip_idle) return;
    const u8 dec = gb.BusRead(static_cast<u16>(from - 1));
    if ((dec & 0xC7) != 0x05 || dec == 0x35) return;  // DEC r; 0x35 is DEC (HL)
    if (gb.BusRead(from) != 0x20 || gb.BusRead(static_cast<u16>(from + 1)) != 0xFD) return;
    if (s.frame_ready && gb.screen_enable) return;  // the next step hands a frame over
    const u8 requests = std::atomic_ref<u8>(s.IF).load(std::memory_order_relaxed) & 0x1F;
    if (s.IME && (requests & s.IE)) return;  // the step ends with an interrupt
    u8& r = StateBytes(s)[kRegByte[(dec >> 3) & 7]];
    const u32 after_step = gb.deferred_cycles + s.op_cycles;  // the jump, taken
    if (r <= 1 || after_step >= gb.deferred_budget) return;
    const u32 pass_cycles = cycle_table[dec] * 4u + s.op_cycles;
    const u32 passes = std::min<u32>(r - 1u, (gb.deferred_budget - after_step - 1) / pass_cycles);
    if (passes == 0) return;
    gb.deferred_cycles += passes * pass_cycles;
    gb.deferred_steps += passes * 2;
    const u8 before_last = static_cast<u8>(r - passes + 1);
    r = gb.exact_slice ? Dec8<true>(s, before_last) : Dec8<false>(s, before_last);
}

inline void NoteBackwardJump(TGBSYSF& gb, u16 from, u16 target) {
    GbState& s = gb.state;
    s.PC = target;  // what the loop's checks read
    if (target == static_cast<u16>(from - 1)) [[unlikely]]
        SkipCountdown(gb, from);
    u64 registers;
    std::memcpy(&registers, &s, sizeof registers);  // AF, BC, DE, HL
    const u64 place = from | u32{s.PC} << 16 | u64{s.SP} << 32;
    const TGBSYSF::IdleLoop& loop = gb.idle_loop;
    TGBSYSF::LoopArrival& last = gb.loop_arrival;
    const bool repeated =
        registers == last.registers && place == last.place && last.epoch == gb.deferred_epoch;
    if (registers == loop.registers && place == loop.place && loop.pass_cycles != 0) [[unlikely]] {
        // The loop last seen, whose reads may since have changed (a STAT poll across a mode
        // change): when this pass repeated the last one, it is taken up again with what it reads
        // now.
        if (!RepeatedPass(gb, from, true) && repeated) RepeatedPass(gb, from, false);
    } else if (repeated) [[unlikely]] {
        RepeatedPass(gb, from, false);
    }
    last = {registers, place, gb.deferred_epoch, gb.deferred_cycles, gb.deferred_steps};
}

// The end of a step: GbState's PC written, the step's cycles counted, the deferred work when
// they reach the budget, then interrupts. pc is the processor's PC, kept in a register from step
// to step.
[[gnu::always_inline]] inline void EndStep(TGBSYSF& gb, u16& pc) {
    GbState& s = gb.state;
    s.PC = pc;
    gb.deferred_cycles += s.op_cycles;
    ++gb.deferred_steps;
    if (gb.deferred_cycles >= gb.deferred_budget) [[unlikely]]
        RunDeferredWork(gb);
    if (ServiceInterrupts(gb)) [[unlikely]]
        pc = s.PC;
}

// One step: the instruction at pc (or an idle step of a halted processor), then the step's end.
// GbState's PC is exact for everything the step's end calls.
template <bool kExact>
[[gnu::always_inline]] inline void RunStep(TGBSYSF& gb, u16& pc) {
    GbState& s = gb.state;
    if (s.frame_ready && gb.screen_enable) HandOverFrame(gb);
    if (s.flag_halt | s.flag_stop) {
        SkipIdleSteps(gb);
        s.op_cycles = 4;
    } else {
        const u8 op = Fetch8(gb, pc);
        s.op_cycles = cycle_table[op] * 4u;
        pc = kHandlers<kExact>[op](gb, pc);
    }
    EndStep(gb, pc);
}

// ---- runs of plain steps ----
//
// Most steps of a program that computes are an instruction whose cycles only count: the step
// hands no frame over, is not halted, stays short of the budget and ends with no interrupt to
// serve. A run of such steps dispatches through one switch, each opcode's handler inlined into
// its case with its cycle count a constant, and checks only the budget after each; the opcodes
// after which the next step may differ end the run in their case. The step that ends the run
// finishes as RunStep would, and the loop around it goes on with RunStep's checks.

// One opcode's case: the instruction, and the cycles it took. Only jumps, calls, returns, the
// 0xCB page, undefined opcodes and HALT (the console's HALT bug) may change the count the table
// gives; the others add it as a constant.
template <unsigned op, bool kExact>
[[gnu::always_inline]] inline u32 PlainStep(TGBSYSF& gb, u16& pc) {
    constexpr u32 kCycles = cycle_table[op] * 4u;
    constexpr bool kFixed = [] {
        constexpr unsigned x = op >> 6;
        constexpr unsigned z = op & 7;
        if (x == 1) return op != 0x76;  // loads between registers; 0x76 is HALT
        if (x == 2) return true;        // arithmetic and logic on registers
        return x == 0 && z != 0;        // z = 0 holds the relative jumps (and NOP, STOP)
    }();
    gb.state.op_cycles = kCycles;
    pc = Execute<op, kExact>(gb, pc);
    return kFixed ? kCycles : gb.state.op_cycles;
}

// HALT and STOP end the run, for they change what the next step does, and so do EI and RETI,
// after which a standing request may be served.
#define KIVO_CASE(n)                                                      \
    case n:                                                               \
        if constexpr (n == 0x76 || n == 0x10 || n == 0xFB || n == 0xD9) { \
            PlainStep<n, kExact>(gb, pc);                                 \
            EndStep(gb, pc);                                              \
            return;                                                       \
        }                                                                 \
        cycles = PlainStep<n, kExact>(gb, pc);                            \
        break;
#define KIVO_CASES4(n) KIVO_CASE(n) KIVO_CASE(n + 1) KIVO_CASE(n + 2) KIVO_CASE(n + 3)
#define KIVO_CASES16(n) KIVO_CASES4(n) KIVO_CASES4(n + 4) KIVO_CASES4(n + 8) KIVO_CASES4(n + 12)
#define KIVO_CASES64(n) \
    KIVO_CASES16(n) KIVO_CASES16(n + 16) KIVO_CASES16(n + 32) KIVO_CASES16(n + 48)

// Runs plain steps from a step that hands no frame over and is neither halted nor stopped, up to
// and including the first step that reaches the budget, halts, stops or sets IME. Such a step
// serves no interrupt unless a request enabled in IE stands while IME is set, and in a run that
// changes only where a step reaches the budget: the units request interrupts in the deferred
// work, and a write to IF or IE sets the budget to the step it is in (IoWrite). A request from
// another thread (a key press in the window) is seen there too, within one LCD mode.
// GbState's PC is written where something may read it: before the deferred work and when the
// run ends (the instructions in between read it from pc).
template <bool kExact>
[[gnu::always_inline]] inline void RunPlainSteps(TGBSYSF& gb, u16& pc) {
    GbState& s = gb.state;
    for (;;) {
        u32 cycles;
        switch (Fetch8(gb, pc)) {
            KIVO_CASES64(0x00)
            KIVO_CASES64(0x40)
            KIVO_CASES64(0x80)
            KIVO_CASES64(0xC0)
        }
        gb.deferred_cycles += cycles;
        ++gb.deferred_steps;
        if (gb.deferred_cycles >= gb.deferred_budget) [[unlikely]] {
            s.PC = pc;
            RunDeferredWork(gb);
            if (ServiceInterrupts(gb)) pc = s.PC;
            return;
        }
    }
}

#undef KIVO_CASES64
#undef KIVO_CASES16
#undef KIVO_CASES4
#undef KIVO_CASE

// The run slice's loop: RunStep where a step may hand a frame over or idle, runs of plain steps
// otherwise. The budget never reaches past the slice's end, so only a step that reached it can
// end the slice.
template <bool kExact>
inline void RunSteps(TGBSYSF& gb, u32 limit) {
    GbState& s = gb.state;
    u16 pc = s.PC;
    while (!(s.slice_cycles & limit)) {
        if ((s.frame_ready && gb.screen_enable) || (s.flag_halt | s.flag_stop))
            RunStep<kExact>(gb, pc);
        else
            RunPlainSteps<kExact>(gb, pc);
    }
}

// The run slice's loop by the console's rules, a hot path of its own: inlined into RunSlice
// beside the machine's own loop, it would take the processor's reads out of line in both.
[[gnu::noinline]] void RunExactSteps(TGBSYSF& gb, u32 limit) {
    RunSteps<true>(gb, limit);
}

}  // namespace

void TGBSYSF::SyncDeferred() {
    ApplyDeferred(*this, deferred_cycles, deferred_steps);
    deferred_cycles = 0;
    deferred_steps = 0;
    deferred_budget = 0;
    lcd_lead = 0;
    sound_lead = 0;
    ++deferred_epoch;
}

// The work that opens every run slice and single step. The units plan from GbState and the
// options as they are now, and the slice leaves GbState exact when it ends: between slices the
// debugger, state files and the options dialog may read or change anything.
void TGBSYSF::BeginSlice() {
    // One sixteenth of a second of console time; the speed is read once for the whole slice.
    slice_limit = state.CGB_double_speed ? 0x80000 : 0x40000;
    ++deferred_epoch;
    exact_slice = system_exact_hardware;
    CheckKeptLines();
    SoundSync();
    deferred_budget = 0;
    lcd_lead = 0;
    sound_lead = 0;
    MapReadPages();  // banks and the ROM mapping may have changed between slices
    CapDividerBacklog(state);
}

void TGBSYSF::EndSlice() {
    SyncDeferred();
    SoundSync();
    KeepDrawnLines();
}

void TGBSYSF::RunSlice() {
    if (state.BadOpCode) return;
    BeginSlice();
    const u32 limit = slice_limit;
    if (exact_slice) {
        RunExactSteps(*this, limit);
    } else {
        RunSteps<false>(*this, limit);
    }
    EndSlice();
    // The last instruction's overshoot counts toward the next slice.
    state.slice_cycles &= limit - 1;
}

// The run slice with a watch over every step. The deferred work stays deferred: what a watch can
// see through the bus and the registers is exact at every step (DIV and TIMA count the pending
// cycles, the rest changes only at events). Idle steps and loop passes are taken one by one.
bool TGBSYSF::RunSliceWatched(StepWatch& watch) {
    if (state.BadOpCode) return false;
    BeginSlice();
    skip_idle = false;
    const u32 limit = slice_limit;
    bool stopped = false;
    while (!(state.slice_cycles & limit)) {
        // A frame hand-over at the start of the step calls the presenter, which may press keys
        // but neither moves PC nor wakes the processor: the opcode read here is the one executed.
        const int opcode = (state.flag_halt | state.flag_stop) ? -1 : CpuRead(*this, state.PC);
        u16 pc = state.PC;
        if (exact_slice)
            RunStep<true>(*this, pc);
        else
            RunStep<false>(*this, pc);
        if (watch.AfterStep(*this, opcode)) {
            stopped = true;  // slice_cycles stays partial: the next slice goes on with this one
            break;
        }
    }
    skip_idle = true;
    EndSlice();
    if (!stopped) state.slice_cycles &= limit - 1;
    return stopped;
}

void TGBSYSF::Step() {
    BeginSlice();
    u16 pc = state.PC;
    if (exact_slice)
        RunStep<true>(*this, pc);
    else
        RunStep<false>(*this, pc);
    EndSlice();
}

void TGBSYSF::RequestInterrupt(u8 bits) {
    std::atomic_ref<u8>(state.IF).fetch_or(bits, std::memory_order_relaxed);
}

void TGBSYSF::DispatchInterrupt(u8 bit, u16 vector) {
    ++deferred_epoch;  // the handler may change what a polling loop reads
    std::atomic_ref<u8>(state.IF).fetch_and(static_cast<u8>(~bit), std::memory_order_relaxed);
    state.IME = 0;
    Push16(*this, state.PC);
    state.PC = vector;
}

}  // namespace kivo
