// A watch over the machine's steps: TGBSYSF::RunSliceWatched calls it after every step of a run
// slice, and ends the slice early when it asks to. The headless runner's stop conditions are
// written this way; the machine itself knows nothing of them.
#pragma once

namespace kivo {

class TGBSYSF;

struct StepWatch {
    // Called after each step, the frame hand-over, timer, LCD and interrupt dispatch of the step
    // included. `opcode` is the first byte of the instruction the step executed (0xCB for the
    // whole 0xCB page), or -1 for a step in which the processor idled (HALT, STOP). Returns true
    // to end the slice after this step.
    virtual bool AfterStep(const TGBSYSF& gb, int opcode) = 0;

  protected:
    ~StepWatch() = default;
};

}  // namespace kivo
