// Rewind: the last ten console seconds kept as machine snapshots, one every quarter second of
// console time (every fourth run slice), each with the picture shown at that moment. The ring is
// allocated once, when it is made; taking a snapshot only copies bytes (the worker calls it after
// a slice, where GbState is exact), so the emulation never allocates. Stepping back happens on
// the GUI thread with the worker held.
//
// A snapshot is the state file's 181628 bytes plus a 160x144 picture of 4-byte pixels (92160
// bytes): 40 of them are 10.9 MB, kept uncompressed. Copying one takes some 50 us in the window,
// about 2% of the worker's time at normal speed; compressing would cost more than that and save
// memory the ring does not need.
#pragma once

#include <cstddef>
#include <vector>

#include "machine/gbsys.h"
#include "ui/state_files.h"

namespace kivo {

class RewindRing {
  public:
    static constexpr int kSlicesPerSnapshot = 4;  // a quarter of a console second
    static constexpr int kSnapshots = 40;         // ten console seconds
    static constexpr std::size_t kPictureBytes = 160 * 144 * 4;

    RewindRing();

    // After each run slice: every kSlicesPerSnapshot-th call takes a snapshot of the machine and
    // returns where its picture goes (the caller fills kPictureBytes); otherwise null.
    u8* AfterSlice(const TGBSYSF& gb);
    // Puts the machine into the newest snapshot and forgets it; its picture is returned (valid
    // until the next snapshot). Null, with the machine unchanged, when none is left.
    const u8* StepBack(TGBSYSF& gb);
    // Forgets every snapshot (another cartridge was opened).
    void Clear();

    int size() const { return count_; }
    // The memory the ring holds, allocated at construction.
    std::size_t bytes() const { return storage_.size(); }

  private:
    static constexpr std::size_t kSlotBytes = kStateFileBytes + kPictureBytes;
    u8* Slot(int index) { return storage_.data() + static_cast<std::size_t>(index) * kSlotBytes; }

    std::vector<u8> storage_;
    int newest_ = -1;  // slot of the newest snapshot
    int count_ = 0;
    int slices_ = 0;
};

}  // namespace kivo
