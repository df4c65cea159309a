// kivo-run: runs a cartridge headless, with no pacing, and writes what was asked for.
//
// The order of work is fixed because other tools rely on it: options (--ini), ROM (or --demo),
// --load-state, the run (--slices or --frames, with --input events at frame hand-overs, ended
// early by the first --until condition that holds or by the --verdict convention's result), then
// the outputs in the order --save-state, --screenshot, --wav, --cart-info, --disasm, --mem,
// --regs, the --benchmark figures, the --verdict line and the program's text, and last the
// summary line
//
//     slices=N frames=F bad_opcode=0|1
//
// Exit status: 0 success, 1 a file could not be read or written or a state was rejected (one
// line on stderr, and no output file written), 2 a usage error, 3 a --verdict other than pass or,
// without --verdict, an --until run that reached its limit with no condition holding. Messages
// never go to stdout.
//
// Output files are all-or-nothing: each is written to a temporary file beside its target while
// the run goes on, and only when every one of them is complete and the texts have reached stdout
// are they renamed into place, so exit status 1 always means that no output file is new. A
// device or FIFO named as an output (/dev/null, /dev/stdout) is written in place, never
// replaced. SIGINT and SIGTERM remove the temporary files before the program ends.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/input_script.h"
#include "cli/run_args.h"
#include "cli/run_watch.h"
#include "common/safe_file.h"
#include "demo/demo_rom.h"
#include "host/null_presenter.h"
#include "host/null_sound_output.h"
#include "host/png_writer.h"
#include "host/wav_writer.h"
#include "machine/gbsys.h"
#include "ui/cart_info.h"
#include "ui/disasm.h"
#include "ui/keys.h"
#include "ui/options.h"
#include "ui/state_files.h"

namespace kivo::cli {
namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotPassed = 3;

// --frames gives up when this many slices (ten console minutes) hand over no frame: only a frame
// skip period of tens of thousands of frames gets there, and waiting longer would look like a hang.
constexpr std::uint32_t kMaxSlicesWithoutFrame = 16 * 60 * 10;

int Usage(const std::string& reason) {
    std::fprintf(stderr, "kivo-run: %s\n%s\n", reason.c_str(), kUsage);
    return kExitUsage;
}

int Error(const std::string& message) {
    std::fprintf(stderr, "kivo-run: %s\n", message.c_str());
    return kExitError;
}

void PrintLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// The presenter of a run: keeps the picture, applies scripted button events at frame hand-overs
// and, for --frames N, stops copying after the N-th frame so that the screenshot is the picture
// handed over at that frame even though the slice runs on to its end.
class RunPresenter : public NullPresenter {
  public:
    // keep_pictures: whether anyone will look at the picture (--screenshot); without it no frame
    // is copied at all.
    RunPresenter(TGBSYSF& gb, std::vector<InputEvent> events, bool keep_pictures)
        : gb_(gb), events_(std::move(events)), keep_pictures_(keep_pictures) {}

    void LimitCopies(std::uint64_t first_frame_count, std::uint64_t frames) {
        base_ = first_frame_count;
        copy_limit_ = frames;
    }

    void CopyFrameToSurface(const u8* frame_buffer) override {
        // frame_count still holds the frames handed over before this one.
        if (!keep_pictures_ || gb_.frame_count - base_ >= copy_limit_) return;
        NullPresenter::CopyFrameToSurface(frame_buffer);
    }

    // The machine increments frame_count right after this call returns, so this hand-over is
    // the one at which frame_count reaches frame_count + 1: events for that frame apply now,
    // between two instructions, exactly where the window's key handler could have acted.
    void PresentFrame() override {
        NullPresenter::PresentFrame();
        ApplyEventsUpTo(std::uint64_t{gb_.frame_count} + 1);
    }

    // Applies every event whose FRAME is at most count (count = frame_count before the run for
    // the events of frame 0).
    void ApplyEventsUpTo(std::uint64_t count) {
        while (next_ < events_.size() && events_[next_].frame <= count) {
            const InputEvent& e = events_[next_++];
            // The window's key path: the configured binding of the button, then the handler.
            const u32 code = gb_.JoyPad_Keys[e.button & 7];
            if (e.down) {
                KeyDown(gb_, code);
            } else {
                KeyUp(gb_, code);
            }
        }
    }

  private:
    TGBSYSF& gb_;
    std::vector<InputEvent> events_;
    bool keep_pictures_;
    std::size_t next_ = 0;
    std::uint64_t base_ = 0;
    std::uint64_t copy_limit_ = UINT64_MAX;
};

// --ini: the desktop program takes a missing INI file for defaults; a file named on the command
// line that cannot be read is an error instead.
bool ReadOptions(TGBSYSF& gb, const std::string& ini, std::string* error) {
    if (!ini.empty()) {
        std::vector<u8> probe;
        if (!ReadFileUpTo(ini, 1, &probe, error)) return false;
        INIRead(gb, ini);
    }
    gb.UpdateFrameRatio();
    return true;
}

// --input: the scripted button events, sorted by frame.
bool ReadInputEvents(const std::string& path, std::vector<InputEvent>* events, std::string* error) {
    if (path.empty()) return true;
    constexpr std::size_t kMaxScriptBytes = std::size_t{1} << 24;
    std::vector<u8> script;
    if (!ReadFileUpTo(path, kMaxScriptBytes + 1, &script, error)) return false;
    if (script.size() > kMaxScriptBytes) {
        *error = path + ": larger than 16 MB";
        return false;
    }
    if (!ParseInputScript(std::string(script.begin(), script.end()), events, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

// The ROM file or the built-in demo cartridge, then --load-state.
bool OpenCartridge(TGBSYSF& gb, const RunArgs& args, std::string* error) {
    if (args.demo) {
        const auto rom = demo::DemoRom();
        if (!gb.OpenRomImage(std::vector<u8>(rom.begin(), rom.end()), "kivo-demo.gb", error)) {
            return false;
        }
    } else {
        std::string warning;
        if (!OpenRomFile(gb, args.rom, error, &warning)) return false;
        if (!warning.empty()) std::fprintf(stderr, "kivo-run: %s\n", warning.c_str());
    }
    if (gb.mbc_kind == MBC_UNKNOWN) std::fprintf(stderr, "Unknown Cartridge\n");
    return args.load_state.empty() || LoadState(gb, args.load_state, error);
}

struct RunTotals {
    std::uint64_t slices = 0;
    std::uint64_t frames = 0;
    double seconds = 0;
};

// The run itself: --frames N runs slices until N frames are handed over (or the processor
// freezes), otherwise --slices N (or the default) slices; the watch, when it has anything to
// watch, may end it within a slice, which then counts as run.
bool RunMachine(TGBSYSF& gb, RunPresenter& presenter, RunWatch& watch, const RunArgs& args,
                RunTotals* totals, std::string* error) {
    const std::uint64_t first_frame_count = gb.frame_count;
    presenter.ApplyEventsUpTo(first_frame_count);
    // True when the watch ended the run.
    const auto run_slice = [&gb, &watch] {
        if (watch.active()) return gb.RunSliceWatched(watch);
        gb.RunSlice();
        return false;
    };
    std::uint64_t slices = 0;
    const auto started = std::chrono::steady_clock::now();
    if (args.frames) {
        presenter.LimitCopies(first_frame_count, *args.frames);
        std::uint32_t idle_slices = 0;
        while (gb.frame_count - first_frame_count < *args.frames) {
            // A frozen processor (undefined opcode) never hands over another frame.
            if (gb.state.BadOpCode) break;
            const u32 before = gb.frame_count;
            ++slices;
            if (run_slice()) break;
            idle_slices = (gb.frame_count == before) ? idle_slices + 1 : 0;
            if (idle_slices >= kMaxSlicesWithoutFrame) {
                *error = "no frame was handed over in ten minutes of console time; --frames " +
                         std::to_string(*args.frames) + " cannot be reached";
                return false;
            }
        }
    } else {
        const std::uint32_t count = args.slices.value_or(kDefaultSlices);
        while (slices < count) {
            ++slices;
            if (run_slice()) break;
        }
    }
    totals->seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    totals->slices = slices;
    totals->frames = gb.frame_count - first_frame_count;
    return true;
}

// The output files, each reserved before the run so that an unwritable path fails at once, and
// written completely before any of them is moved into place.
class OutputFiles {
  public:
    explicit OutputFiles(const RunArgs& args) : args_(args) {}

    bool Reserve(std::string* error) {
        if (!args_.save_state.empty() && !state_file_.Create(args_.save_state, error)) {
            return false;
        }
        if (!args_.screenshot.empty() && !screenshot_file_.Create(args_.screenshot, error)) {
            return false;
        }
        return args_.wav.empty() || wav_.Open(args_.wav, error);
    }

    // The sound output of the run: the WAV recording, or nothing.
    SoundOutput* sound_output() { return args_.wav.empty() ? nullptr : &wav_; }

    // Notes where the run starts in the machine's sample block, for the WAV's last part.
    void RunStarts(const TGBSYSF& gb) {
        blocks_at_start_ = wav_.blocks();
        fill_at_start_ = static_cast<u32>(gb.state.snd_buffer_fill) & (kBlockFrames - 1);
    }

    // Completes every output in its temporary file; nothing is moved into place yet.
    bool Write(const TGBSYSF& gb, const NullPresenter& presenter, std::string* error) {
        if (!args_.save_state.empty() && !WriteState(gb, error)) return false;
        if (!args_.screenshot.empty() && !WriteScreenshot(gb, presenter, error)) return false;
        if (!args_.wav.empty()) {
            // The frames mixed since the last complete block: the machine hands over whole blocks
            // only, and without them the recording would stop up to 93 ms before the run did.
            const u32 fill = static_cast<u32>(gb.state.snd_buffer_fill) & (kBlockFrames - 1);
            const u32 first = wav_.blocks() == blocks_at_start_ ? fill_at_start_ : 0;
            if (fill > first) {
                wav_.AppendPartialBlock(gb.memory.sample_buffer + first * 4,
                                        std::size_t{fill - first} * 4);
            }
            if (!wav_.Finish(error)) return false;
        }
        return true;
    }

    // Moves the outputs into place: first those written into a device or FIFO (they can still
    // fail, /dev/full), then the renames, which cannot fail short of the folder vanishing.
    bool Commit(std::string* error) {
        for (const bool direct : {true, false}) {
            if (!args_.save_state.empty() && state_file_.direct() == direct &&
                !state_file_.Commit(error)) {
                return false;
            }
            if (!args_.screenshot.empty() && screenshot_file_.direct() == direct &&
                !screenshot_file_.Commit(error)) {
                return false;
            }
            if (!args_.wav.empty() && wav_.direct() == direct && !wav_.Commit(error)) return false;
        }
        return true;
    }

  private:
    bool WriteState(const TGBSYSF& gb, std::string* error) {
        return WriteAll(state_file_, StateFileImage(gb), error);
    }

    static bool WriteAll(TempFile& file, const std::vector<u8>& bytes, std::string* error) {
        if (std::fwrite(bytes.data(), 1, bytes.size(), file.file()) != bytes.size()) {
            const int saved = errno;
            file.Discard();
            *error = file.target() + ": cannot be written: " + std::strerror(saved ? saved : EIO);
            return false;
        }
        return file.Close(error);
    }

    // The picture handed over last, or the frame buffer when no frame was handed over.
    bool WriteScreenshot(const TGBSYSF& gb, const NullPresenter& presenter, std::string* error) {
        Picture picture;
        if (presenter.has_picture()) {
            picture = presenter.picture();
        } else {
            CopyVisiblePixels(gb.memory.frame_buffer, picture);
        }
        std::vector<u8> png;
        if (!EncodePng(picture.data(), kScreenWidth, kScreenHeight, &png, error)) {
            *error = args_.screenshot + ": " + *error;
            return false;
        }
        return WriteAll(screenshot_file_, png, error);
    }

    const RunArgs& args_;
    TempFile state_file_, screenshot_file_;
    WavWriter wav_;
    std::uint64_t blocks_at_start_ = 0;
    u32 fill_at_start_ = 0;
};

// The texts on stdout: --cart-info, --disasm, --mem, --regs, the --benchmark figures, the
// --verdict lines and the summary line.
void PrintTexts(const TGBSYSF& gb, const RunArgs& args, const RunTotals& totals,
                const std::optional<Verdict>& verdict) {
    if (args.cart_info) PrintLine(CartridgeInfoText(gb));
    if (args.disasm) {
        for (const std::string& line : CodeLines(gb, args.disasm->address, args.disasm->count)) {
            PrintLine(line);
        }
    }
    if (args.mem) {
        for (const std::string& line : MemoryLines(gb, args.mem->address, args.mem->count)) {
            PrintLine(line);
        }
    }
    if (args.regs) {
        for (const std::string& line : RegisterLines(gb)) PrintLine(line);
    }
    if (args.benchmark) {
        // One slice is a sixteenth of a console second at either speed.
        const double console_seconds = static_cast<double>(totals.slices) / 16.0;
        const double fps =
            totals.seconds > 0 ? static_cast<double>(totals.frames) / totals.seconds : 0.0;
        const double speed = totals.seconds > 0 ? console_seconds / totals.seconds * 100.0 : 0.0;
        std::printf("frames=%llu seconds=%.3f fps=%.1f speed=%.0f%%\n",
                    static_cast<unsigned long long>(totals.frames), totals.seconds, fps, speed);
    }
    if (verdict) std::fputs(VerdictLines(*verdict).c_str(), stdout);
    if (gb.state.BadOpCode) std::fprintf(stderr, "Bad Opcode\n");
    std::printf("slices=%llu frames=%llu bad_opcode=%d\n",
                static_cast<unsigned long long>(totals.slices),
                static_cast<unsigned long long>(totals.frames), gb.state.BadOpCode ? 1 : 0);
}

int Run(const RunArgs& args) {
    auto gb_owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *gb_owner;
    std::string error;

    // Every power-on reset seeds the noise generator from --seed, so runs repeat exactly.
    const u32 seed = args.seed;
    gb.noise_seed_source = [seed] { return seed; };
    // Set-up failures of host outputs go to stderr, where every message of the runner goes.
    gb.ShowErrorMessage = [](const std::string& message) { Error(message); };

    if (!ReadOptions(gb, args.ini, &error)) return Error(error);
    // Before the ROM is opened: the power-on reset starts from the console's own registers.
    if (args.exact) gb.system_exact_hardware = true;
    if (args.frames && !gb.screen_enable) {
        return Usage("--frames needs screen_enable 1: with the screen off no frame is handed over");
    }
    std::vector<InputEvent> events;
    if (!ReadInputEvents(args.input, &events, &error)) return Error(error);
    OutputFiles outputs(args);
    if (!outputs.Reserve(&error)) return Error(error);

    RunPresenter presenter(gb, std::move(events), !args.screenshot.empty());
    NullSoundOutput silence;
    gb.presenter = &presenter;
    gb.sound_output = outputs.sound_output() ? outputs.sound_output() : &silence;
    if (!OpenCartridge(gb, args, &error)) return Error(error);

    RunTotals totals;
    RunWatch watch(gb, args.until, args.verdict);
    outputs.RunStarts(gb);
    if (!RunMachine(gb, presenter, watch, args, &totals, &error)) return Error(error);
    gb.presenter = nullptr;
    gb.sound_output = nullptr;

    std::optional<Verdict> verdict;
    if (args.verdict) verdict = ReadVerdict(gb, *args.verdict, watch.stopped_at_ld_b_b());

    // The texts reach stdout before any file is moved into place: a failed write there (a full
    // disk, a closed pipe) ends the run with status 1 and no new output file.
    if (!outputs.Write(gb, presenter, &error)) return Error(error);
    PrintTexts(gb, args, totals, verdict);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Error("cannot write to stdout");
    if (!outputs.Commit(&error)) return Error(error);
    if (verdict) return verdict->outcome == Outcome::kPass ? 0 : kExitNotPassed;
    return args.until.empty() || watch.stopped() ? 0 : kExitNotPassed;
}

// Ctrl-C or a kill: the temporary files go, the targets stay as they were, and the program
// ends by the signal as it would have without this handler.
void OnInterrupt(int signal_number) {
    RemoveTemporaryFilesNow();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void RemoveTemporaryFilesOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM}) {
        struct sigaction old {};
        // A signal ignored by whoever started us (nohup, a background job) stays ignored.
        if (sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace
}  // namespace kivo::cli

int main(int argc, char** argv) {
    using namespace kivo::cli;
    std::vector<std::string> words(argv + 1, argv + argc);
    RunArgs args;
    std::string error;
    if (!ParseRunArgs(words, &args, &error)) return Usage(error);
    if (args.help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (args.version) {
        std::printf("kivo-run %s\n", KIVO_VERSION);
        return 0;
    }
    RemoveTemporaryFilesOnInterrupt();
    return Run(args);
}
