// What kivo-run watches while it runs: the --until conditions, checked after every step, and the
// test programs' result conventions that --verdict reads.
//
//   memory     a status byte at 0xA000 (0x80 while the test runs, 0 for a pass, anything else
//              for a failure), the signature DE B0 61 at 0xA001-0xA003 and a NUL-terminated
//              text from 0xA004, in cartridge RAM as the program sees it;
//   registers  the program executes LD B,B (0x40) with B, C, D, E, H, L = 3, 5, 8, 13, 21, 34
//              for a pass, or 0x42 in each for a failure.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/run_args.h"
#include "machine/gbsys.h"

namespace kivo::cli {

enum class Outcome { kPass, kFail, kNone };

struct Verdict {
    Outcome outcome = Outcome::kNone;
    std::string text;  // the program's text (memory convention), printable ASCII and line ends
};

// Ends a run slice at the first step after which one of the --until conditions holds, or at which
// the --verdict convention has its result: the LD B,B of the register convention; for the memory
// convention the first step at which the status byte, once seen at 0x80, holds another value
// with the signature in place (a result left in battery RAM by an earlier run does not count).
class RunWatch final : public StepWatch {
  public:
    // gb is the machine as the run starts.
    RunWatch(const TGBSYSF& gb, std::vector<StopCondition> conditions,
             std::optional<VerdictKind> verdict);

    // Whether there is anything to watch: without, the run needs no watch at all.
    bool active() const { return !conditions_.empty() || verdict_.has_value(); }
    bool AfterStep(const TGBSYSF& gb, int opcode) override;

    // Whether the run was ended by the watch, and whether that last step executed LD B,B.
    bool stopped() const { return stopped_; }
    bool stopped_at_ld_b_b() const { return stopped_at_ld_b_b_; }

  private:
    bool Holds(const StopCondition& c, const TGBSYSF& gb, int opcode) const;
    bool MemoryResultReady(const TGBSYSF& gb);

    std::vector<StopCondition> conditions_;
    std::optional<VerdictKind> verdict_;
    bool memory_running_seen_ = false;
    bool stopped_ = false;
    bool stopped_at_ld_b_b_ = false;
};

// The result of a run by `kind`'s convention, read from the machine where the run ended.
// at_ld_b_b: the run ended on the step that executed LD B,B.
Verdict ReadVerdict(const TGBSYSF& gb, VerdictKind kind, bool at_ld_b_b);

// "verdict=pass|fail|none", a line end, then the text (ending with a line end) if there is one.
std::string VerdictLines(const Verdict& verdict);

}  // namespace kivo::cli
