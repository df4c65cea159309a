// kivo-run: runs a cartridge headless, with no pacing, and writes what was asked for.
//
// The order of work is fixed because other tools rely on it: options (--ini), ROM (or --demo),
// --load-state, the run (--slices or --frames, with --input events at frame hand-overs), then
// the outputs in the order --save-state, --screenshot, --wav, --cart-info, --disasm, --mem,
// --regs, the --benchmark figures, and last the summary line
//
//     slices=N frames=F bad_opcode=0|1
//
// Exit status: 0 success, 1 a file could not be read or written or a state was rejected (one
// line on stderr, and no output file written), 2 a usage error. Messages never go to stdout.
//
// Output files are all-or-nothing: each is written to a temporary file beside its target while
// the run goes on, and only when every one of them is complete are they renamed into place.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/input_script.h"
#include "cli/run_args.h"
#include "common/safe_file.h"
#include "demo/demo_rom.h"
#include "host/null_presenter.h"
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
    RunPresenter(TGBSYSF& gb, std::vector<InputEvent> events)
        : gb_(gb), events_(std::move(events)) {}

    void LimitCopies(std::uint64_t first_frame_count, std::uint64_t frames) {
        base_ = first_frame_count;
        copy_limit_ = frames;
    }

    void CopyFrameToSurface(const u8* frame_buffer) override {
        // frame_count still holds the frames handed over before this one.
        if (gb_.frame_count - base_ >= copy_limit_) return;
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
    std::size_t next_ = 0;
    std::uint64_t base_ = 0;
    std::uint64_t copy_limit_ = UINT64_MAX;
};

int Run(const RunArgs& args) {
    auto gb_owner = std::make_unique<TGBSYSF>();
    TGBSYSF& gb = *gb_owner;
    std::string error;

    // Every power-on reset seeds the noise generator from --seed, so runs repeat exactly.
    const u32 seed = args.seed;
    gb.noise_seed_source = [seed] { return seed; };
    // Set-up failures of host outputs go to stderr, where every message of the runner goes.
    gb.ShowErrorMessage = [](const std::string& message) {
        std::fprintf(stderr, "kivo-run: %s\n", message.c_str());
    };

    if (!args.ini.empty()) {
        // The desktop program takes a missing INI file for defaults; a file named on the
        // command line that cannot be read is an error instead.
        std::vector<u8> probe;
        if (!ReadFileUpTo(args.ini, 1, &probe, &error)) return Error(error);
        INIRead(gb, args.ini);
    }
    gb.UpdateFrameRatio();
    if (args.frames && !gb.screen_enable) {
        return Usage("--frames needs screen_enable 1: with the screen off no frame is handed over");
    }

    std::vector<InputEvent> events;
    if (!args.input.empty()) {
        constexpr std::size_t kMaxScriptBytes = std::size_t{1} << 24;
        std::vector<u8> script;
        if (!ReadFileUpTo(args.input, kMaxScriptBytes + 1, &script, &error)) return Error(error);
        if (script.size() > kMaxScriptBytes) return Error(args.input + ": larger than 16 MB");
        if (!ParseInputScript(std::string(script.begin(), script.end()), &events, &error)) {
            return Error(args.input + ": " + error);
        }
    }

    // Reserve every output file before running, so that an unwritable path fails at once.
    TempFile state_file, screenshot_file;
    WavWriter wav;
    if (!args.save_state.empty() && !state_file.Create(args.save_state, &error)) {
        return Error(error);
    }
    if (!args.screenshot.empty() && !screenshot_file.Create(args.screenshot, &error)) {
        return Error(error);
    }
    if (!args.wav.empty() && !wav.Open(args.wav, &error)) return Error(error);

    RunPresenter presenter(gb, std::move(events));
    NullSoundOutput silence;
    gb.presenter = &presenter;
    gb.sound_output = args.wav.empty() ? static_cast<SoundOutput*>(&silence) : &wav;
    // Both outputs are set up once they exist: nothing here can fail to initialise.
    gb.video_ready = true;
    gb.sound_ready = true;

    if (args.demo) {
        const auto rom = demo::DemoRom();
        if (!gb.OpenRomImage(std::vector<u8>(rom.begin(), rom.end()), "kivo-demo.gb", &error)) {
            return Error(error);
        }
    } else {
        std::string warning;
        if (!OpenRomFile(gb, args.rom, &error, &warning)) return Error(error);
        if (!warning.empty()) std::fprintf(stderr, "kivo-run: %s\n", warning.c_str());
    }
    if (gb.mbc_kind == MBC_UNKNOWN) std::fprintf(stderr, "Unknown Cartridge\n");

    if (!args.load_state.empty() && !LoadState(gb, args.load_state, &error)) return Error(error);

    // ---- the run ----
    const std::uint64_t first_frame_count = gb.frame_count;
    presenter.ApplyEventsUpTo(first_frame_count);
    std::uint64_t slices = 0;
    const auto started = std::chrono::steady_clock::now();
    if (args.frames) {
        presenter.LimitCopies(first_frame_count, *args.frames);
        std::uint32_t idle_slices = 0;
        while (gb.frame_count - first_frame_count < *args.frames) {
            // A frozen processor (undefined opcode) never hands over another frame.
            if (gb.state.BadOpCode) break;
            const u32 before = gb.frame_count;
            gb.RunSlice();
            ++slices;
            idle_slices = (gb.frame_count == before) ? idle_slices + 1 : 0;
            if (idle_slices >= kMaxSlicesWithoutFrame) {
                return Error("no frame was handed over in ten minutes of console time; --frames " +
                             std::to_string(*args.frames) + " cannot be reached");
            }
        }
    } else {
        const std::uint32_t count = args.slices.value_or(kDefaultSlices);
        for (std::uint32_t i = 0; i < count; ++i) gb.RunSlice();
        slices = count;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::uint64_t frames = gb.frame_count - first_frame_count;
    gb.presenter = nullptr;
    gb.sound_output = nullptr;

    // ---- output files: write every one completely, then move them into place ----
    if (!args.save_state.empty()) {
        if (!state_file.Close(&error)) return Error(error);
        if (!SaveState(gb, state_file.temp_path(), &error)) {
            // Name the file the user asked for, not the temporary one.
            const std::string prefix = state_file.temp_path() + ": ";
            if (error.compare(0, prefix.size(), prefix) == 0) error.erase(0, prefix.size());
            return Error(args.save_state + ": " + error);
        }
    }
    if (!args.screenshot.empty()) {
        Picture picture;
        if (presenter.has_picture()) {
            picture = presenter.picture();
        } else {
            CopyVisiblePixels(gb.memory.frame_buffer, picture);
        }
        std::vector<u8> png;
        if (!EncodePng(picture.data(), kScreenWidth, kScreenHeight, &png, &error)) {
            return Error(args.screenshot + ": " + error);
        }
        if (std::fwrite(png.data(), 1, png.size(), screenshot_file.file()) != png.size() ||
            !screenshot_file.Close(&error)) {
            return Error(error.empty() ? args.screenshot + ": write error" : error);
        }
    }
    if (!args.wav.empty() && !wav.Finish(&error)) return Error(error);
    if (!args.save_state.empty() && !state_file.Commit(&error)) return Error(error);
    if (!args.screenshot.empty() && !screenshot_file.Commit(&error)) return Error(error);
    if (!args.wav.empty() && !wav.Commit(&error)) return Error(error);

    // ---- texts ----
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
        const double console_seconds = static_cast<double>(slices) / 16.0;
        const double fps = seconds > 0 ? static_cast<double>(frames) / seconds : 0.0;
        const double speed = seconds > 0 ? console_seconds / seconds * 100.0 : 0.0;
        std::printf("frames=%llu seconds=%.3f fps=%.1f speed=%.0f%%\n",
                    static_cast<unsigned long long>(frames), seconds, fps, speed);
    }
    if (gb.state.BadOpCode) std::fprintf(stderr, "Bad Opcode\n");
    std::printf("slices=%llu frames=%llu bad_opcode=%d\n", static_cast<unsigned long long>(slices),
                static_cast<unsigned long long>(frames), gb.state.BadOpCode ? 1 : 0);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return Error("cannot write to stdout");
    return 0;
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
        std::printf("%s\n", kUsage);
        return 0;
    }
    return Run(args);
}
