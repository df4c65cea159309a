// The emulation worker, TSystemThread, and the handshake through which the GUI thread meets it.
//
// The worker repeats ThreadLoopExecute's pass: obey a pause request, hold while no ROM is open,
// the user has paused, a pause is acknowledged or the application is inactive (with
// system_pause_when_inactive_app), otherwise start the sound and run one slice (1/16 s of console
// time), then measure the frame rate and the speed. The GUI thread touches machine state only
// between ThreadPause1 and ThreadContinue1: ThreadPause1 returns once the worker is held at the
// top of a pass, never inside a slice, and the worker does not emulate again until the matching
// ThreadContinue1.
//
// No lock is taken. The requests and acknowledgements are atomics with release/acquire ordering,
// so everything one side did before handing over is visible to the other; the GUI thread waits on
// them with std::atomic::wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "machine/clock.h"
#include "machine/gbsys.h"
#include "machine/pacer.h"

namespace kivo {

// system_thread_priority: the dialog's texts, lowest to highest. Out-of-range values count as the
// nearest valid one; the stored option keeps its value.
inline constexpr const char* kThreadPriorityNames[] = {"Lowest", "Lower", "Normal", "Higher",
                                                       "Highest"};
inline constexpr u32 kThreadPriorityCount = 5;
inline u32 ClampThreadPriority(u32 system_thread_priority) {
    return system_thread_priority < kThreadPriorityCount ? system_thread_priority
                                                         : kThreadPriorityCount - 1;
}

class TSystemThread {
  public:
    // Created suspended: nothing runs until Start. The machine and the clock outlive the thread.
    TSystemThread(TGBSYSF& gb, Clock& clock);
    // Ends the loop (as ThreadExit) if it still runs, and joins the worker.
    ~TSystemThread();
    TSystemThread(const TSystemThread&) = delete;
    TSystemThread& operator=(const TSystemThread&) = delete;

    // ---- GUI thread ----
    // Resumes the suspended worker. Later calls do nothing.
    void Start();
    // Sets the worker's priority from system_thread_priority (0 "Lowest" .. 4 "Highest"); the
    // worker applies it through apply_priority at the top of its next pass.
    void SetPriority(u32 system_thread_priority);
    // The level last set, clamped to 0-4.
    u32 requested_priority() const { return requested_priority_.load(std::memory_order_acquire); }
    // Returns once the worker is held at the top of a pass. Brackets nest: only the outermost
    // pause asks the worker, only the outermost continue lets it go.
    void ThreadPause1();
    // Ends a pause bracket. After the outermost one no earlier request can hold the worker: a
    // request is only made while the worker runs, and ThreadPause1 waits until it is taken.
    void ThreadContinue1();
    // Asks the loop to end and returns once it has (at once when the worker never started).
    void ThreadExit();
    // The termination handler: the worker has finished.
    void ThreadOnTerminate() { thread_terminated.store(true, std::memory_order_release); }
    // System > "Pause": set inside a pause bracket.
    void SetUserPause(bool on);
    bool user_pause() const { return user_pause_.load(std::memory_order_acquire); }
    // Fast-forward, at any time: slices are not held back to the speed restriction (the
    // presenter's pacer is set on its own).
    void SetUnpaced(bool on) { unpaced_.store(on, std::memory_order_relaxed); }
    // Application activation (1) and deactivation (0), at any time.
    void SetAppActive(bool active);
    bool app_active() const { return app_active_.load(std::memory_order_acquire); }

    // ---- read by the window's status bar ----
    std::atomic<bool> running{false};
    std::atomic<u32> perf_speed{0};  // percent of console speed over the last 16 slices
    std::atomic<u32> perf_fps{0};    // frames handed to the presenter in the last second
    std::atomic<bool> thread_terminated{false};

    // ---- set before Start ----
    // Applies a priority level 0-4 to the calling thread (the worker). The host maps the table
    // onto its scheduler; a refused change is silent. Unset: priorities are ignored.
    std::function<void(u32 level)> apply_priority;
    // Runs on the worker after every slice, where GbState is exact (the rewind ring's
    // snapshots). Unset: nothing.
    std::function<void()> after_slice;
    // Runs on the worker once the loop has ended; the window posts ThreadOnTerminate to its own
    // thread from here. Unset: ThreadOnTerminate runs directly.
    std::function<void()> on_terminate;

    // ---- the worker ----
    // The thread's body: the loop, then the termination handler.
    void Execute();
    // Repeats LoopIteration, resting about 100 ms after each pass that did not run a slice,
    // until ThreadExit asks it to end.
    void ThreadLoopExecute();
    enum class Pass { kIdle, kHeld, kRan };
    // One pass of the loop without the rest: what it did. Tests drive the loop through it.
    Pass LoopIteration();
    // Reads the clock's frequency and takes the counter for both measurement samples; done when
    // the thread is created and when the loop starts.
    void StartMeasurements();

    // The handshake's state, for tests and the debugger.
    bool paused() const { return paused_.load(std::memory_order_acquire); }
    bool pause_request() const { return pause_request_.load(std::memory_order_acquire); }

  private:
    // The rest between passes that did not run: about 100 ms, cut short when the GUI thread
    // continues, ends the loop or changes a hold condition (wake_ no longer reads seen).
    void Rest(u32 seen);
    void Wake();
    void StopSound();
    void Measure();

    TGBSYSF& gb_;
    Clock& clock_;

    std::atomic<bool> pause_request_{false};
    std::atomic<bool> paused_{true};  // held until the first ThreadContinue1
    std::atomic<bool> thread_exit_request_{false};
    std::atomic<bool> user_pause_{false};
    std::atomic<bool> app_active_{true};
    std::atomic<bool> unpaced_{false};
    std::atomic<u32> wake_{0};  // bumped whenever a resting worker should look again
    std::atomic<u32> requested_priority_{2};
    u32 applied_priority_ = ~0u;  // worker only

    // GUI thread only.
    int pause_depth_ = 0;
    bool started_ = false;
    bool loop_ended_ = false;
    std::thread worker_;

    // Worker only: the measurements and the slice pacing.
    std::uint64_t frequency_ = 1;
    std::uint64_t fps_sample_ = 0;
    std::uint64_t speed_sample_ = 0;
    u32 perf_last_frames_ = 0;
    u32 speed_slices_ = 0;
    ConsoleSchedule slice_schedule_;
};

}  // namespace kivo
