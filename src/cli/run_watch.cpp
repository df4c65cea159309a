#include "cli/run_watch.h"

#include <utility>

namespace kivo::cli {
namespace {

constexpr u16 kStatusAddress = 0xA000;
constexpr u16 kTextAddress = 0xA004;
constexpr u8 kStatusRunning = 0x80;
constexpr u8 kSignature[] = {0xDE, 0xB0, 0x61};
constexpr u8 kLdBB = 0x40;

// The bus reads without side effects: these look at memory as the program would see it.
bool SignaturePresent(const TGBSYSF& gb) {
    for (u16 i = 0; i < 3; ++i) {
        if (gb.BusRead(static_cast<u16>(kStatusAddress + 1 + i)) != kSignature[i]) return false;
    }
    return true;
}

// The text up to its NUL or the end of the cartridge RAM window, so at most 8188 bytes. Bytes
// that are not printable become '?', so that stdout stays text.
std::string ProgramText(const TGBSYSF& gb) {
    std::string text;
    for (u32 address = kTextAddress; address <= 0xBFFF; ++address) {
        const u8 c = gb.BusRead(static_cast<u16>(address));
        if (c == 0) break;
        text += (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) ? static_cast<char>(c) : '?';
    }
    return text;
}

}  // namespace

RunWatch::RunWatch(const TGBSYSF& gb, std::vector<StopCondition> conditions,
                   std::optional<VerdictKind> verdict)
    : conditions_(std::move(conditions)), verdict_(verdict) {
    memory_running_seen_ = gb.BusRead(kStatusAddress) == kStatusRunning;
}

bool RunWatch::Holds(const StopCondition& c, const TGBSYSF& gb, int opcode) const {
    switch (c.kind) {
        case StopCondition::kLdBB: return opcode == kLdBB;
        case StopCondition::kPc: return gb.state.PC == c.address;
        case StopCondition::kMem: return gb.BusRead(c.address) == c.value;
    }
    return false;
}

bool RunWatch::MemoryResultReady(const TGBSYSF& gb) {
    if (gb.BusRead(kStatusAddress) == kStatusRunning) {
        memory_running_seen_ = true;
        return false;
    }
    return memory_running_seen_ && SignaturePresent(gb);
}

bool RunWatch::AfterStep(const TGBSYSF& gb, int opcode) {
    bool stop = false;
    if (verdict_ == VerdictKind::kRegisters) stop = opcode == kLdBB;
    if (verdict_ == VerdictKind::kMemory) stop = MemoryResultReady(gb);
    for (const StopCondition& c : conditions_) stop = stop || Holds(c, gb, opcode);
    if (stop) {
        stopped_ = true;
        stopped_at_ld_b_b_ = opcode == kLdBB;
    }
    return stop;
}

Verdict ReadVerdict(const TGBSYSF& gb, VerdictKind kind, bool at_ld_b_b) {
    Verdict v;
    if (kind == VerdictKind::kRegisters) {
        if (!at_ld_b_b) return v;
        const GbState& s = gb.state;
        const u8 regs[] = {static_cast<u8>(s.BC >> 8), static_cast<u8>(s.BC),
                           static_cast<u8>(s.DE >> 8), static_cast<u8>(s.DE),
                           static_cast<u8>(s.HL >> 8), static_cast<u8>(s.HL)};
        const u8 pass[] = {3, 5, 8, 13, 21, 34};
        bool passed = true, failed = true;
        for (int i = 0; i < 6; ++i) {
            passed = passed && regs[i] == pass[i];
            failed = failed && regs[i] == 0x42;
        }
        v.outcome = passed ? Outcome::kPass : failed ? Outcome::kFail : Outcome::kNone;
        return v;
    }
    if (!SignaturePresent(gb)) return v;
    const u8 status = gb.BusRead(kStatusAddress);
    v.outcome = status == 0                ? Outcome::kPass
                : status == kStatusRunning ? Outcome::kNone
                                           : Outcome::kFail;
    v.text = ProgramText(gb);
    return v;
}

std::string VerdictLines(const Verdict& verdict) {
    const char* word = verdict.outcome == Outcome::kPass   ? "pass"
                       : verdict.outcome == Outcome::kFail ? "fail"
                                                           : "none";
    std::string lines = std::string("verdict=") + word + "\n" + verdict.text;
    if (!verdict.text.empty() && verdict.text.back() != '\n') lines += '\n';
    return lines;
}

}  // namespace kivo::cli
