#include "machine/thread.h"

#include <chrono>
#include <limits>

namespace kivo {

namespace {

// A resting worker looks at its wake-up counter this often, and rests this many times (about
// 100 ms) before its next pass, which repaints and stops the sound again.
constexpr auto kRestStep = std::chrono::milliseconds(10);
constexpr int kRestSteps = 10;

}  // namespace

TSystemThread::TSystemThread(TGBSYSF& gb, Clock& clock) : gb_(gb), clock_(clock) {
    StartMeasurements();
}

TSystemThread::~TSystemThread() {
    ThreadExit();
    if (worker_.joinable()) worker_.join();
}

void TSystemThread::Start() {
    if (started_) return;
    started_ = true;
    worker_ = std::thread([this] { Execute(); });
}

void TSystemThread::SetPriority(u32 system_thread_priority) {
    requested_priority_.store(ClampThreadPriority(system_thread_priority),
                              std::memory_order_release);
}

void TSystemThread::ThreadPause1() {
    if (pause_depth_++ > 0) return;
    // Already held: at start-up before the first continue, or after the loop has ended.
    if (paused_.load(std::memory_order_acquire)) return;
    if (!started_ || loop_ended_) {
        // No worker is running a pass: holding it is only a matter of the flag.
        paused_.store(true, std::memory_order_release);
        return;
    }
    pause_request_.store(true, std::memory_order_release);
    Wake();
    paused_.wait(false, std::memory_order_acquire);
}

void TSystemThread::ThreadContinue1() {
    if (pause_depth_ > 0 && --pause_depth_ > 0) return;
    // Nothing can be pending here (a request is only made while the worker runs and is taken
    // before ThreadPause1 returns); clearing it too keeps that true whatever the caller did.
    pause_request_.store(false, std::memory_order_release);
    paused_.store(false, std::memory_order_release);
    Wake();
}

void TSystemThread::ThreadExit() {
    if (!started_ || loop_ended_) return;
    thread_exit_request_.store(true, std::memory_order_release);
    Wake();
    thread_exit_request_.wait(true, std::memory_order_acquire);
    loop_ended_ = true;
}

void TSystemThread::SetUserPause(bool on) {
    user_pause_.store(on, std::memory_order_release);
    Wake();
}

void TSystemThread::SetAppActive(bool active) {
    app_active_.store(active, std::memory_order_release);
    Wake();
}

void TSystemThread::Wake() {
    wake_.fetch_add(1, std::memory_order_release);
}

void TSystemThread::Execute() {
    ThreadLoopExecute();
    if (on_terminate) {
        on_terminate();
    } else {
        ThreadOnTerminate();
    }
}

void TSystemThread::ThreadLoopExecute() {
    StartMeasurements();
    while (!thread_exit_request_.load(std::memory_order_acquire)) {
        // Sampled before the pass, so that a continue arriving while the pass decides to hold
        // still cuts the rest short.
        const u32 seen = wake_.load(std::memory_order_acquire);
        if (LoopIteration() != Pass::kRan) Rest(seen);
    }
    thread_exit_request_.store(false, std::memory_order_release);
    thread_exit_request_.notify_all();
}

void TSystemThread::Rest(u32 seen) {
    for (int i = 0; i < kRestSteps; ++i) {
        std::this_thread::sleep_for(kRestStep);
        if (wake_.load(std::memory_order_acquire) != seen) return;
    }
}

void TSystemThread::StopSound() {
    running.store(false, std::memory_order_release);
    if (gb_.sound_output) gb_.sound_output->StopSound();
}

TSystemThread::Pass TSystemThread::LoopIteration() {
    if (pause_request_.exchange(false, std::memory_order_acq_rel)) {
        // Stopped before the acknowledgement, so that a status bar refreshed right after the
        // pause reads the stopped state.
        StopSound();
        paused_.store(true, std::memory_order_release);
        paused_.notify_all();
    }
    const u32 priority = requested_priority_.load(std::memory_order_acquire);
    if (priority != applied_priority_) {
        applied_priority_ = priority;
        if (apply_priority) apply_priority(priority);
    }

    if (!gb_.rom_open) {
        StopSound();
        return Pass::kIdle;
    }
    if (user_pause_.load(std::memory_order_acquire) || paused_.load(std::memory_order_acquire) ||
        (gb_.system_pause_when_inactive_app && !app_active_.load(std::memory_order_acquire))) {
        StopSound();
        // The repaint: a resized window or changed screen options show while the machine rests.
        if (gb_.presenter) gb_.presenter->PresentFrame();
        slice_schedule_.Reset();
        return Pass::kHeld;
    }

    running.store(true, std::memory_order_release);
    if (gb_.sound_output) gb_.sound_output->PlaySound();
    gb_.RunSlice();
    if (after_slice) after_slice();
    Measure();
    return Pass::kRan;
}

void TSystemThread::StartMeasurements() {
    frequency_ = clock_.Frequency();
    if (frequency_ == 0) frequency_ = 1;
    fps_sample_ = speed_sample_ = clock_.Now();
    perf_last_frames_ = gb_.frame_count;
    speed_slices_ = 0;
    slice_schedule_.Reset();
}

void TSystemThread::Measure() {
    const std::uint64_t now = clock_.Now();
    if (now - fps_sample_ >= frequency_) {
        fps_sample_ = now;
        perf_fps.store(gb_.frame_count - perf_last_frames_, std::memory_order_relaxed);
        perf_last_frames_ = gb_.frame_count;
    }
    if (gb_.system_show_performances && ++speed_slices_ >= 16) {
        // Sixteen slices are one second of console time at either processor speed.
        speed_slices_ = 0;
        std::uint64_t elapsed = now - speed_sample_;
        if (elapsed == 0) elapsed = 1;
        const std::uint64_t speed = frequency_ * 100 / elapsed;
        perf_speed.store(speed > std::numeric_limits<u32>::max() ? std::numeric_limits<u32>::max()
                                                                 : static_cast<u32>(speed),
                         std::memory_order_relaxed);
        speed_sample_ = now;
    }

    // The speed restriction when no frame paces the machine (screen off, LCD off, no
    // presenter): a slice may end at most one slice of console time ahead of real time.
    const u32 factor = SpeedFactor(gb_.system_speed_restriction);
    if (factor == 0 || unpaced_.load(std::memory_order_relaxed)) {
        slice_schedule_.Reset();
        return;
    }
    const std::uint64_t due =
        slice_schedule_.Advance(now, frequency_, kSliceCycles, factor, frequency_ / 4);
    const std::uint64_t slice_ticks = frequency_ * kSliceCycles / (kConsoleHz * factor);
    if (due > now + slice_ticks) clock_.WaitUntil(due - slice_ticks);
}

}  // namespace kivo
