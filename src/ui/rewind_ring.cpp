#include "ui/rewind_ring.h"

#include "ui/state_files.h"

namespace kivo {

RewindRing::RewindRing() : storage_(kSlotBytes * kSnapshots) {}

u8* RewindRing::AfterSlice(const TGBSYSF& gb) {
    if (++slices_ < kSlicesPerSnapshot) return nullptr;
    slices_ = 0;
    newest_ = (newest_ + 1) % kSnapshots;
    if (count_ < kSnapshots) ++count_;
    u8* slot = Slot(newest_);
    CopyStateImage(gb, slot);
    return slot + kStateFileBytes;
}

const u8* RewindRing::StepBack(TGBSYSF& gb) {
    if (count_ == 0) return nullptr;
    u8* slot = Slot(newest_);
    RestoreStateImage(gb, slot);
    newest_ = (newest_ + kSnapshots - 1) % kSnapshots;
    --count_;
    // The next snapshot comes a full quarter second after the one resumed from.
    slices_ = 0;
    return slot + kStateFileBytes;
}

void RewindRing::Clear() {
    newest_ = -1;
    count_ = 0;
    slices_ = 0;
}

}  // namespace kivo
