#include "ui/disasm.h"

#include <array>
#include <cstdio>

#include "machine/cpu_tables.h"

namespace kivo {

namespace {

// A mnemonic template. "*" stands for an 8-bit immediate, "#" for a 16-bit immediate and "@"
// for a signed 8-bit displacement; every other character is printed as it is, so the "h" after
// a placeholder reads as the hexadecimal suffix.
struct Template {
    char text[16] = {};

    constexpr Template() = default;
    // Implicit, so that tables of string literals convert.
    constexpr Template(const char* s) { Append(s); }

    constexpr Template& Append(const char* s) {
        int n = 0;
        while (text[n] != '\0') ++n;
        while (*s != '\0' && n < 15) text[n++] = *s++;
        return *this;
    }
};

using TemplateTable = std::array<Template, 256>;

constexpr const char* kRegisters[8] = {"B", "C", "D", "E", "H", "L", "(HL)", "A"};

// Opcodes 0x00-0x3F, with the Z80 mnemonics the table was written from.
constexpr const char* kRow00To3F[64] = {
    "NOP",       "LD BC,#h",  "LD (BC),A",  "INC BC", "INC B",    "DEC B",    "LD B,*h",    "RLCA",
    "EX AF,AF'", "ADD HL,BC", "LD A,(BC)",  "DEC BC", "INC C",    "DEC C",    "LD C,*h",    "RRCA",
    "DJNZ @h",   "LD DE,#h",  "LD (DE),A",  "INC DE", "INC D",    "DEC D",    "LD D,*h",    "RLA",
    "JR @h",     "ADD HL,DE", "LD A,(DE)",  "DEC DE", "INC E",    "DEC E",    "LD E,*h",    "RRA",
    "JR NZ,@h",  "LD HL,#h",  "LD (#h),HL", "INC HL", "INC H",    "DEC H",    "LD H,*h",    "DAA",
    "JR Z,@h",   "ADD HL,HL", "LD HL,(#h)", "DEC HL", "INC L",    "DEC L",    "LD L,*h",    "CPL",
    "JR NC,@h",  "LD SP,#h",  "LD (#h),A",  "INC SP", "INC (HL)", "DEC (HL)", "LD (HL),*h", "SCF",
    "JR C,@h",   "ADD HL,SP", "LD A,(#h)",  "DEC SP", "INC A",    "DEC A",    "LD A,*h",    "CCF",
};

// Opcodes 0xC0-0xFF: conditions NZ, Z, NC, C, PO, PE, P, M and pairs BC, DE, HL, AF.
constexpr const char* kRowC0ToFF[64] = {
    "RET NZ", "POP BC",   "JP NZ,#h", "JP #h",      "CALL NZ,#h", "PUSH BC", "ADD *h", "RST 00h",
    "RET Z",  "RET",      "JP Z,#h",  "PFX_CB",     "CALL Z,#h",  "CALL #h", "ADC *h", "RST 08h",
    "RET NC", "POP DE",   "JP NC,#h", "OUTA (*h)",  "CALL NC,#h", "PUSH DE", "SUB *h", "RST 10h",
    "RET C",  "EXX",      "JP C,#h",  "INA (*h)",   "CALL C,#h",  "PFX_DD",  "SBC *h", "RST 18h",
    "RET PO", "POP HL",   "JP PO,#h", "EX HL,(SP)", "CALL PO,#h", "PUSH HL", "AND *h", "RST 20h",
    "RET PE", "LD PC,HL", "JP PE,#h", "EX DE,HL",   "CALL PE,#h", "PFX_ED",  "XOR *h", "RST 28h",
    "RET P",  "POP AF",   "JP P,#h",  "DI",         "CALL P,#h",  "PUSH AF", "OR *h",  "RST 30h",
    "RET M",  "LD SP,HL", "JP M,#h",  "EI",         "CALL M,#h",  "PFX_FD",  "CP *h",  "RST 38h",
};

struct Override {
    u8 opcode;
    const char* text;
};

// Where the Game Boy's processor differs from the Z80 and the debugger knew it.
constexpr Override kOverrides[] = {
    {0xE0, "LDIO (*h),A"}, {0xE2, "LDIO (C),A"}, {0xE8, "ADDSP SP,@h"}, {0xEA, "LD (#h),A"},
    {0xF0, "LDIO A,(*h)"}, {0xF2, "LDIO A,(C)"}, {0xF8, "LD HL,SP+@h"}, {0xFA, "LD A,(#h)"},
    {0x3A, "LDD A,(HL)"},  {0xD9, "RETI"},       {0x32, "LDD (HL),A"},  {0x08, "LD #h,SP"},
    {0x10, "STOP"},        {0x22, "LDI (HL),A"}, {0x2A, "LDI A,(HL)"},
};

constexpr TemplateTable MakeMainTable() {
    constexpr const char* kAluOps[8] = {"ADD ", "ADC ", "SUB ", "SBC ",
                                        "AND ", "XOR ", "OR ",  "CP "};
    TemplateTable t{};
    for (int i = 0; i < 64; ++i) t[i] = Template(kRow00To3F[i]);
    for (int i = 0x40; i < 0x80; ++i) {
        t[i] =
            Template("LD ").Append(kRegisters[(i >> 3) & 7]).Append(",").Append(kRegisters[i & 7]);
    }
    t[0x76] = Template("HALT");
    for (int i = 0x80; i < 0xC0; ++i)
        t[i] = Template(kAluOps[(i >> 3) & 7]).Append(kRegisters[i & 7]);
    for (int i = 0; i < 64; ++i) t[0xC0 + i] = Template(kRowC0ToFF[i]);
    for (const Override& o : kOverrides) t[o.opcode] = Template(o.text);
    return t;
}

constexpr TemplateTable MakeCbTable() {
    // CB 0x30-0x37 is the Game Boy's SWAP; the Z80 table it comes from calls it SLL.
    constexpr const char* kShiftOps[8] = {"RLC ", "RRC ", "RL ",  "RR ",
                                          "SLA ", "SRA ", "SLL ", "SRL "};
    constexpr const char* kBitOps[3] = {"BIT ", "RES ", "SET "};
    constexpr const char* kDigits[8] = {"0", "1", "2", "3", "4", "5", "6", "7"};
    TemplateTable t{};
    for (int i = 0; i < 256; ++i) {
        if (i < 0x40) {
            t[i] = Template(kShiftOps[i >> 3]).Append(kRegisters[i & 7]);
        } else {
            t[i] = Template(kBitOps[(i >> 6) - 1])
                       .Append(kDigits[(i >> 3) & 7])
                       .Append(",")
                       .Append(kRegisters[i & 7]);
        }
    }
    return t;
}

constexpr TemplateTable kMainTable = MakeMainTable();
constexpr TemplateTable kCbTable = MakeCbTable();

constexpr bool Same(const Template& t, const char* s) {
    int i = 0;
    for (; s[i] != '\0'; ++i) {
        if (t.text[i] != s[i]) return false;
    }
    return t.text[i] == '\0';
}

static_assert(Same(kMainTable[0x00], "NOP"));
static_assert(Same(kMainTable[0x40], "LD B,B"));
static_assert(Same(kMainTable[0x76], "HALT"));
static_assert(Same(kMainTable[0x7F], "LD A,A"));
static_assert(Same(kMainTable[0x80], "ADD B"));
static_assert(Same(kMainTable[0xBF], "CP A"));
static_assert(Same(kMainTable[0xE4], "CALL PO,#h"));
static_assert(Same(kMainTable[0xE9], "LD PC,HL"));
static_assert(Same(kMainTable[0xFA], "LD A,(#h)"));
static_assert(Same(kCbTable[0x00], "RLC B"));
static_assert(Same(kCbTable[0x37], "SLL A"));
static_assert(Same(kCbTable[0x3F], "SRL A"));
static_assert(Same(kCbTable[0x40], "BIT 0,B"));
static_assert(Same(kCbTable[0x86], "RES 0,(HL)"));
static_assert(Same(kCbTable[0xFF], "SET 7,A"));

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHex2(std::string* s, u32 v) {
    s->push_back(kHexDigits[(v >> 4) & 15]);
    s->push_back(kHexDigits[v & 15]);
}

void AppendHex4(std::string* s, u32 v) {
    AppendHex2(s, (v >> 8) & 0xFF);
    AppendHex2(s, v & 0xFF);
}

bool IsRelativeJump(u8 opcode) {
    return opcode == 0x18 || opcode == 0x20 || opcode == 0x28 || opcode == 0x30 || opcode == 0x38;
}

}  // namespace

int DisassembleOne(const TGBSYSF& gb, u16 address, std::string* text) {
    int length = 1;
    std::string bytes;
    auto next_byte = [&] {
        const u8 b = gb.BusRead(static_cast<u16>(address + length));
        AppendHex2(&bytes, b);
        ++length;
        return b;
    };

    const u8 opcode = gb.BusRead(address);
    AppendHex2(&bytes, opcode);
    const Template* tmpl = &kMainTable[opcode];
    if (opcode == 0xCB) tmpl = &kCbTable[next_byte()];

    std::string mnemonic;
    for (const char* p = tmpl->text; *p != '\0'; ++p) {
        switch (*p) {
            case '*': AppendHex2(&mnemonic, next_byte()); break;
            case '#': {
                const u8 lo = next_byte();
                const u8 hi = next_byte();
                AppendHex2(&mnemonic, hi);
                AppendHex2(&mnemonic, lo);
                break;
            }
            case '@': {
                const u8 d = next_byte();
                if (IsRelativeJump(opcode)) {
                    // The target: the address after the instruction plus the signed offset.
                    AppendHex4(&mnemonic,
                               static_cast<u16>(address + length + static_cast<int8_t>(d)));
                } else {
                    mnemonic.push_back(d < 0x80 ? '+' : '-');
                    AppendHex2(&mnemonic, d < 0x80 ? d : 0x100u - d);
                }
                break;
            }
            default: mnemonic.push_back(*p); break;
        }
    }

    text->clear();
    AppendHex4(text, address);
    text->append("   ");
    text->append(bytes);
    text->append(9 - bytes.size(), ' ');
    text->append(mnemonic);
    return length;
}

std::string MemoryLine(const TGBSYSF& gb, u16 address) {
    std::string hex;
    std::string chars;
    for (int i = 0; i < kMemoryLineBytes; ++i) {
        const u8 b = gb.BusRead(static_cast<u16>(address + i));
        AppendHex2(&hex, b);
        chars.push_back(b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.');
    }
    std::string line;
    AppendHex4(&line, address);
    line += "   " + hex + "   " + chars;
    return line;
}

std::vector<std::string> MemoryLines(const TGBSYSF& gb, u16 address, int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        lines.push_back(MemoryLine(gb, address));
        address = static_cast<u16>(address + kMemoryLineBytes);
    }
    return lines;
}

std::vector<std::string> CodeLines(const TGBSYSF& gb, u16 address, int count) {
    std::vector<std::string> lines;
    std::string text;
    for (int i = 0; i < count; ++i) {
        const int length = DisassembleOne(gb, address, &text);
        lines.push_back(text);
        address = static_cast<u16>(address + length);
    }
    return lines;
}

std::vector<std::string> RegisterLines(const TGBSYSF& gb) {
    const GbState& s = gb.state;
    char buffer[64];
    std::vector<std::string> lines;
    auto hex = [&](const char* name, u16 value) {
        std::snprintf(buffer, sizeof buffer, "%s=%04X", name, static_cast<unsigned>(value));
        lines.emplace_back(buffer);
    };
    // Shown with "%d", as signed 32-bit numbers.
    auto dec = [&](const char* name, u32 value) {
        std::snprintf(buffer, sizeof buffer, "%s=%d", name,
                      static_cast<int>(static_cast<i32>(value)));
        lines.emplace_back(buffer);
    };
    // By the console's rules the program sees F in the console's layout: so does the debugger.
    const bool exact = gb.system_exact_hardware;
    hex("AF",
        exact ? static_cast<u16>((s.AF & 0xFF00) | ConsoleFlags(static_cast<u8>(s.AF))) : s.AF);
    hex("BC", s.BC);
    hex("DE", s.DE);
    hex("HL", s.HL);
    hex("PC", s.PC);
    hex("SP", s.SP);
    dec("flag_halt", s.flag_halt);
    dec("flag_stop", s.flag_stop);
    dec("BadOpCode", s.BadOpCode);
    dec("IME", s.IME);
    dec("hdma_active", s.hdma_active);
    dec("CGB_MODE", s.CGB_MODE);
    dec("CGB_double_speed", s.CGB_double_speed);
    dec("Bank_ROM0", s.Bank_ROM0);
    dec("Bank_ROM1", s.Bank_ROM1);
    dec("Bank_WRAM0", s.Bank_WRAM0);
    dec("Bank_WRAM1", s.Bank_WRAM1);
    dec("Bank_VRAM", s.Bank_VRAM);
    dec("Bank_XRAM", s.Bank_XRAM);
    dec("Bank_ROM_RAM_MODE", s.Bank_ROM_RAM_MODE);
    if (exact) lines.emplace_back("exact hardware: F as the console's (Z 80, N 40, H 20, C 10)");
    return lines;
}

}  // namespace kivo
