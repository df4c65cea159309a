// A small LR35902 assembler for building test programs and the demo ROM in C++ code:
//
//     using namespace kivo::gbasm;
//     Asm a(0x0150);
//     a.ld(A, 0x7F);
//     a.label("loop");
//     a.dec(A);
//     a.jr(NZ, "loop");
//     a.ld(Mem(0xC000), A);
//     PlaceInRom(rom, a);
//
// Methods are named after the instructions and take register names as operands. Memory operands
// are written Mem(HL), Mem(BC), Mem(DE), Mem(HLI) for (HL+), Mem(HLD) for (HL-), Mem(C) for
// (0xFF00+C), Mem(0xC000) or Mem("label") for an absolute address. The carry condition is written
// C (or CY), the others NZ, Z, NC. `and`, `or` and `xor` are C++ keywords, hence and_, or_, xor_.
//
// Labels may be used before they are defined; Link() (or bytes()) resolves them. Misuse (an
// unknown label, a relative jump out of range, an operand the instruction does not take) is a
// mistake in the calling program: it is reported on stderr and aborts.
//
// Header only and free of test frameworks: the unit tests and the build-time demo ROM generator
// both use it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::gbasm {

// 8-bit registers, numbered as in the opcode's register fields ((HL) is 6, see Mem).
enum R8 : std::uint8_t { B = 0, C = 1, D = 2, E = 3, H = 4, L = 5, A = 7 };

// 16-bit registers. BC, DE, HL, SP are numbered as in the opcode's pair field; AF replaces SP for
// PUSH and POP.
enum R16 : std::uint8_t { BC = 0, DE = 1, HL = 2, SP = 3, AF = 4 };

// Branch conditions. The carry condition may also be written with the register name C.
enum Cond : std::uint8_t { NZ = 0, Z = 1, NC = 2, CY = 3 };

// Post-increment and post-decrement forms of (HL).
enum HLStep : std::uint8_t { HLI = 0, HLD = 1 };

[[noreturn]] inline void Fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "gbasm: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// A memory operand.
struct Mem {
    enum Kind : std::uint8_t { kHL, kBC, kDE, kHLI, kHLD, kPortC, kAbs, kLabel };
    Kind kind;
    std::uint16_t addr = 0;
    std::string label;

    Mem(R16 pair) : kind(PairKind(pair)) {}
    Mem(HLStep step) : kind(step == HLI ? kHLI : kHLD) {}
    Mem(R8 reg) : kind(kPortC) {
        if (reg != C) Fail("only (C) is a register-indirect port operand");
    }
    Mem(int address) : kind(kAbs), addr(static_cast<std::uint16_t>(address)) {}
    Mem(const char* name) : kind(kLabel), label(name) {}
    Mem(std::string name) : kind(kLabel), label(std::move(name)) {}

  private:
    static Kind PairKind(R16 pair) {
        switch (pair) {
            case HL: return kHL;
            case BC: return kBC;
            case DE: return kDE;
            default: Fail("no (SP) or (AF) memory operand");
        }
    }
};

// A branch condition: one of NZ, Z, NC, CY, or the register name C meaning carry.
struct CondArg {
    std::uint8_t cc;
    CondArg(Cond c) : cc(c) {}
    CondArg(R8 r) : cc(3) {
        if (r != C) Fail("a register is not a branch condition");
    }
};

class Asm {
  public:
    explicit Asm(std::uint16_t origin = 0) : origin_(origin) {}

    std::uint16_t origin() const { return origin_; }
    // Address of the next byte to be assembled.
    std::uint16_t pc() const { return static_cast<std::uint16_t>(origin_ + code_.size()); }
    std::size_t size() const { return code_.size(); }

    // ---- labels and data ----
    void label(std::string_view name) {
        if (!labels_.emplace(std::string(name), pc()).second) Fail("label defined twice:", name);
    }
    // Address of a label defined so far.
    std::uint16_t addr(std::string_view name) const {
        auto it = labels_.find(std::string(name));
        if (it == labels_.end()) Fail("unknown label", name);
        return it->second;
    }
    void db(int byte) { emit(byte); }
    void db(std::initializer_list<int> bytes) {
        for (int b : bytes) emit(b);
    }
    void db(const std::vector<std::uint8_t>& bytes) {
        for (std::uint8_t b : bytes) emit(b);
    }
    void db(std::string_view text) {
        for (char ch : text) emit(static_cast<std::uint8_t>(ch));
    }
    void dw(int word) { emit16(word); }
    void dw(std::string_view name) { emit16_label(name); }
    void dw(const char* name) { emit16_label(name); }
    // n bytes of fill.
    void ds(std::size_t n, int fill = 0) {
        for (std::size_t i = 0; i < n; ++i) emit(fill);
    }
    // Pads with fill up to address (which must not lie behind pc()).
    void pad_to(std::uint16_t address, int fill = 0) {
        if (address < pc()) Fail("pad_to an address already passed");
        ds(address - pc(), fill);
    }

    // The assembled bytes with every label reference resolved.
    std::vector<std::uint8_t> Link() const {
        std::vector<std::uint8_t> out = code_;
        for (const Fixup& f : fixups_) {
            const std::uint16_t target = addr(f.label);
            if (f.relative) {
                const int disp = int{target} - (origin_ + int(f.pos) + 1);
                if (disp < -128 || disp > 127) Fail("relative jump out of range to", f.label);
                out[f.pos] = static_cast<std::uint8_t>(disp);
            } else {
                out[f.pos] = static_cast<std::uint8_t>(target);
                out[f.pos + 1] = static_cast<std::uint8_t>(target >> 8);
            }
        }
        return out;
    }
    std::vector<std::uint8_t> bytes() const { return Link(); }

    // ---- 8-bit loads ----
    void ld(R8 dst, R8 src) { emit(0x40 | dst << 3 | src); }
    void ld(R8 dst, int n) { emit(0x06 | dst << 3), emit(n); }
    void ld(R8 dst, const Mem& src) {
        if (src.kind == Mem::kHL) return emit(0x46 | dst << 3);
        if (dst != A) Fail("only A loads from this memory operand");
        switch (src.kind) {
            case Mem::kBC: return emit(0x0A);
            case Mem::kDE: return emit(0x1A);
            case Mem::kHLI: return emit(0x2A);
            case Mem::kHLD: return emit(0x3A);
            case Mem::kPortC: return emit(0xF2);
            default: return emit(0xFA), emit_addr(src);
        }
    }
    void ld(const Mem& dst, R8 src) {
        if (dst.kind == Mem::kHL) return emit(0x70 | src);
        if (src != A) Fail("only A stores to this memory operand");
        switch (dst.kind) {
            case Mem::kBC: return emit(0x02);
            case Mem::kDE: return emit(0x12);
            case Mem::kHLI: return emit(0x22);
            case Mem::kHLD: return emit(0x32);
            case Mem::kPortC: return emit(0xE2);
            default: return emit(0xEA), emit_addr(dst);
        }
    }
    void ld(const Mem& dst, int n) {
        if (dst.kind != Mem::kHL) Fail("only (HL) takes an immediate byte");
        emit(0x36), emit(n);
    }
    // LDH (a8),A and LDH A,(a8): the 0xFF00 page.
    void ldh(int a8, R8 src) {
        if (src != A) Fail("LDH stores only A");
        emit(0xE0), emit(a8);
    }
    void ldh(R8 dst, int a8) {
        if (dst != A) Fail("LDH loads only A");
        emit(0xF0), emit(a8);
    }

    // ---- 16-bit loads and stack ----
    void ld(R16 dst, int nn) { emit(0x01 | pair(dst) << 4), emit16(nn); }
    void ld(R16 dst, std::string_view name) { emit(0x01 | pair(dst) << 4), emit16_label(name); }
    void ld(R16 dst, const char* name) { ld(dst, std::string_view(name)); }
    void ld(const Mem& dst, R16 src) {
        if (src != SP || (dst.kind != Mem::kAbs && dst.kind != Mem::kLabel)) {
            Fail("only LD (a16),SP stores a register pair");
        }
        emit(0x08), emit_addr(dst);
    }
    void ld(R16 dst, R16 src) {
        if (dst != SP || src != HL) Fail("only LD SP,HL copies a register pair");
        emit(0xF9);
    }
    // LD HL,SP+e.
    void ldhl(int e) { emit(0xF8), emit(e); }
    void push(R16 rr) { emit(0xC5 | stack_pair(rr) << 4); }
    void pop(R16 rr) { emit(0xC1 | stack_pair(rr) << 4); }

    // ---- 8-bit arithmetic and logic ----
    void add(R8 a, R8 x) { alu(0, a, x); }
    void add(R8 a, const Mem& x) { alu(0, a, x); }
    void add(R8 a, int n) { alu(0, a, n); }
    void adc(R8 a, R8 x) { alu(1, a, x); }
    void adc(R8 a, const Mem& x) { alu(1, a, x); }
    void adc(R8 a, int n) { alu(1, a, n); }
    void sub(R8 x) { alu(2, A, x); }
    void sub(const Mem& x) { alu(2, A, x); }
    void sub(int n) { alu(2, A, n); }
    void sbc(R8 a, R8 x) { alu(3, a, x); }
    void sbc(R8 a, const Mem& x) { alu(3, a, x); }
    void sbc(R8 a, int n) { alu(3, a, n); }
    void and_(R8 x) { alu(4, A, x); }
    void and_(const Mem& x) { alu(4, A, x); }
    void and_(int n) { alu(4, A, n); }
    void xor_(R8 x) { alu(5, A, x); }
    void xor_(const Mem& x) { alu(5, A, x); }
    void xor_(int n) { alu(5, A, n); }
    void or_(R8 x) { alu(6, A, x); }
    void or_(const Mem& x) { alu(6, A, x); }
    void or_(int n) { alu(6, A, n); }
    void cp(R8 x) { alu(7, A, x); }
    void cp(const Mem& x) { alu(7, A, x); }
    void cp(int n) { alu(7, A, n); }

    void inc(R8 r) { emit(0x04 | r << 3); }
    void inc(const Mem& m) { emit(0x04 | hl_operand(m) << 3); }
    void dec(R8 r) { emit(0x05 | r << 3); }
    void dec(const Mem& m) { emit(0x05 | hl_operand(m) << 3); }

    void daa() { emit(0x27); }
    void cpl() { emit(0x2F); }
    void scf() { emit(0x37); }
    void ccf() { emit(0x3F); }

    // ---- 16-bit arithmetic ----
    void add(R16 hl, R16 rr) {
        if (hl != HL) Fail("ADD of a register pair adds only into HL");
        emit(0x09 | pair(rr) << 4);
    }
    // ADD SP,e.
    void add(R16 sp, int e) {
        if (sp != SP) Fail("only SP adds a signed byte");
        emit(0xE8), emit(e);
    }
    void inc(R16 rr) { emit(0x03 | pair(rr) << 4); }
    void dec(R16 rr) { emit(0x0B | pair(rr) << 4); }

    // ---- rotates of A ----
    void rlca() { emit(0x07); }
    void rrca() { emit(0x0F); }
    void rla() { emit(0x17); }
    void rra() { emit(0x1F); }

    // ---- CB-prefixed rotates, shifts, bit operations ----
    void rlc(R8 r) { cb(0x00 | r); }
    void rlc(const Mem& m) { cb(0x00 | hl_operand(m)); }
    void rrc(R8 r) { cb(0x08 | r); }
    void rrc(const Mem& m) { cb(0x08 | hl_operand(m)); }
    void rl(R8 r) { cb(0x10 | r); }
    void rl(const Mem& m) { cb(0x10 | hl_operand(m)); }
    void rr(R8 r) { cb(0x18 | r); }
    void rr(const Mem& m) { cb(0x18 | hl_operand(m)); }
    void sla(R8 r) { cb(0x20 | r); }
    void sla(const Mem& m) { cb(0x20 | hl_operand(m)); }
    void sra(R8 r) { cb(0x28 | r); }
    void sra(const Mem& m) { cb(0x28 | hl_operand(m)); }
    void swap(R8 r) { cb(0x30 | r); }
    void swap(const Mem& m) { cb(0x30 | hl_operand(m)); }
    void srl(R8 r) { cb(0x38 | r); }
    void srl(const Mem& m) { cb(0x38 | hl_operand(m)); }
    void bit(int b, R8 r) { cb(0x40 | bit_no(b) << 3 | r); }
    void bit(int b, const Mem& m) { cb(0x40 | bit_no(b) << 3 | hl_operand(m)); }
    void res(int b, R8 r) { cb(0x80 | bit_no(b) << 3 | r); }
    void res(int b, const Mem& m) { cb(0x80 | bit_no(b) << 3 | hl_operand(m)); }
    void set(int b, R8 r) { cb(0xC0 | bit_no(b) << 3 | r); }
    void set(int b, const Mem& m) { cb(0xC0 | bit_no(b) << 3 | hl_operand(m)); }

    // ---- jumps, calls, returns ----
    // Targets are absolute addresses or labels; JR computes the displacement.
    void jp(int nn) { emit(0xC3), emit16(nn); }
    void jp(std::string_view name) { emit(0xC3), emit16_label(name); }
    void jp(const char* name) { jp(std::string_view(name)); }
    void jp(CondArg cc, int nn) { emit(0xC2 | cc.cc << 3), emit16(nn); }
    void jp(CondArg cc, std::string_view name) { emit(0xC2 | cc.cc << 3), emit16_label(name); }
    void jp(CondArg cc, const char* name) { jp(cc, std::string_view(name)); }
    // JP (HL).
    void jp(R16 hl) {
        if (hl != HL) Fail("only JP (HL) jumps through a register");
        emit(0xE9);
    }
    void jp(const Mem& m) { hl_operand(m), emit(0xE9); }

    void jr(int target) { emit(0x18), emit_rel(target); }
    void jr(std::string_view name) { emit(0x18), emit_rel_label(name); }
    void jr(const char* name) { jr(std::string_view(name)); }
    void jr(CondArg cc, int target) { emit(0x20 | cc.cc << 3), emit_rel(target); }
    void jr(CondArg cc, std::string_view name) { emit(0x20 | cc.cc << 3), emit_rel_label(name); }
    void jr(CondArg cc, const char* name) { jr(cc, std::string_view(name)); }
    // JR with a raw displacement, counted from the address after the instruction.
    void jr_disp(int e) { emit(0x18), emit(e); }
    void jr_disp(CondArg cc, int e) { emit(0x20 | cc.cc << 3), emit(e); }

    void call(int nn) { emit(0xCD), emit16(nn); }
    void call(std::string_view name) { emit(0xCD), emit16_label(name); }
    void call(const char* name) { call(std::string_view(name)); }
    void call(CondArg cc, int nn) { emit(0xC4 | cc.cc << 3), emit16(nn); }
    void call(CondArg cc, std::string_view name) { emit(0xC4 | cc.cc << 3), emit16_label(name); }
    void call(CondArg cc, const char* name) { call(cc, std::string_view(name)); }

    void ret() { emit(0xC9); }
    void ret(CondArg cc) { emit(0xC0 | cc.cc << 3); }
    void reti() { emit(0xD9); }
    void rst(int vector) {
        if ((vector & ~0x38) != 0) Fail("RST vector must be one of 0x00, 0x08, ... 0x38");
        emit(0xC7 | vector);
    }

    // ---- control ----
    void nop() { emit(0x00); }
    void halt() { emit(0x76); }
    void stop() { emit(0x10); }
    void di() { emit(0xF3); }
    void ei() { emit(0xFB); }

  private:
    struct Fixup {
        std::size_t pos;
        std::string label;
        bool relative;
    };

    void emit(int byte) { code_.push_back(static_cast<std::uint8_t>(byte)); }
    void emit16(int word) { emit(word & 0xFF), emit((word >> 8) & 0xFF); }
    void emit16_label(std::string_view name) {
        fixups_.push_back({code_.size(), std::string(name), false});
        emit16(0);
    }
    void emit_addr(const Mem& m) {
        if (m.kind == Mem::kAbs) return emit16(m.addr);
        if (m.kind == Mem::kLabel) return emit16_label(m.label);
        Fail("an absolute address was expected");
    }
    void emit_rel(int target) {
        const int disp = target - (pc() + 1);
        if (disp < -128 || disp > 127) Fail("relative jump out of range");
        emit(disp);
    }
    void emit_rel_label(std::string_view name) {
        fixups_.push_back({code_.size(), std::string(name), true});
        emit(0);
    }
    void cb(int op) { emit(0xCB), emit(op); }

    // ALU family: opcode 0x80 | op << 3 | r for registers, 0xC6 | op << 3 for an immediate.
    void alu(int op, R8 a, R8 x) { check_a(a), emit(0x80 | op << 3 | x); }
    void alu(int op, R8 a, const Mem& x) { check_a(a), emit(0x80 | op << 3 | hl_operand(x)); }
    void alu(int op, R8 a, int n) { check_a(a), emit(0xC6 | op << 3), emit(n); }
    static void check_a(R8 a) {
        if (a != A) Fail("8-bit arithmetic works on A only");
    }
    // The register field value of (HL).
    static int hl_operand(const Mem& m) {
        if (m.kind != Mem::kHL) Fail("only (HL) is allowed here");
        return 6;
    }
    static int pair(R16 rr) {
        if (rr == AF) Fail("AF is only for PUSH and POP");
        return rr;
    }
    static int stack_pair(R16 rr) {
        if (rr == SP) Fail("PUSH and POP take AF, not SP");
        return rr == AF ? 3 : rr;
    }
    static int bit_no(int b) {
        if (b < 0 || b > 7) Fail("bit number out of range");
        return b;
    }

    std::uint16_t origin_;
    std::vector<std::uint8_t> code_;
    std::map<std::string, std::uint16_t, std::less<>> labels_;
    std::vector<Fixup> fixups_;
};

// Copies the linked code of a into rom at a's origin, growing rom if it is too short.
inline void PlaceInRom(std::vector<std::uint8_t>& rom, const Asm& a) {
    const std::vector<std::uint8_t> code = a.Link();
    const std::size_t end = std::size_t{a.origin()} + code.size();
    if (rom.size() < end) rom.resize(end, 0xFF);
    for (std::size_t i = 0; i < code.size(); ++i) rom[a.origin() + i] = code[i];
}

}  // namespace kivo::gbasm
