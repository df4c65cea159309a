// The machine object: the whole emulated console, its options and the open ROM; the flags through
// which the GUI thread and the emulation thread meet are in TSystemThread (thread.h). One instance
// per run; it allocates nothing after OpenRom, throws nothing and takes no lock.
//
// Each unit of the console lives in a file of its own beside this one:
//   gbsys.cpp      construction, opening and closing a ROM, hard reset and power-on reset
//   cpu.cpp        the processor, the run slice, divider, timer and interrupts
//   bus.h          the address map (BusRead/BusWrite, inline: they run for every access)
//   cartridge.cpp  cartridge loading and the bank controllers
//   io.cpp         the 0xFF00 page: registers, joypad, OAM DMA and video DMA
//   lcd.cpp        LCD mode timing, STAT and LY, frame skip
//   renderer.cpp   the scanline renderer and palettes
//   sound.cpp      the four sound channels and the mixer
//   stream_read.h  bounded reads of a whole file (ROM files here, the front end's files too)
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "machine/host_interfaces.h"
#include "machine/layout.h"
#include "machine/step_watch.h"

namespace kivo {

// Cartridge controller kinds decoded from header byte 0x147.
enum MbcKind : u32 {
    MBC_UNKNOWN = 0,
    MBC_ROMONLY = 1,
    MBC_MBC1 = 2,
    MBC_MBC2 = 3,
    MBC_MBC3 = 4,
    MBC_MBC4 = 5,
    MBC_MBC5 = 6,
    MBC_POCKET_CAMERA = 7,
    MBC_BANDAI_TAMA5 = 8,
    MBC_MMM01 = 9,
    MBC_HUC3 = 10,
    MBC_HUC1 = 11,
};

inline constexpr u32 kRomBankSize = 0x4000;
// The controllers address at most 512 banks (MBC5's nine bank bits): 8 MB.
inline constexpr u32 kMaxRomBanks = 512;
inline constexpr std::size_t kMaxRomBytes = std::size_t{kMaxRomBanks} * kRomBankSize;

// Joypad key indexes, shared by the front end's bindings and the button name table.
enum JoypadKey : int {
    KEY_RIGHT = 0,
    KEY_LEFT = 1,
    KEY_UP = 2,
    KEY_DOWN = 3,
    KEY_A = 4,
    KEY_B = 5,
    KEY_SELECT = 6,
    KEY_START = 7,
};

// The system_type option: which console the machine is.
enum SystemType : u32 {
    SYSTEM_GB = 0,
    SYSTEM_CGB = 1,
};

// The user's options, under their INI names, with their defaults: the one place that states
// them. The options dialog, the INI file and the machine all start from these values.
struct GbOptions {
    u32 system_type = SYSTEM_CGB;
    u32 system_force_cgbmode = 0;
    u32 system_speed_restriction = 1;
    // Read by the held worker while the options dialog may change it.
    std::atomic<bool> system_pause_when_inactive_app{true};
    bool system_show_performances = true;
    u32 system_thread_priority = 2;
    bool sound_enable = true;
    bool sound_select_CH1 = true;
    bool sound_select_CH2 = true;
    bool sound_select_CH3 = true;
    bool sound_select_CH4 = true;
    u32 screen_ClientColor = 0xFF0000;
    std::atomic<u32> screen_size{0};  // read by PresentFrame, also while the worker is held
    u32 Screen_refresh_ratio_index = 1;
    std::atomic<u32> screen_filter{0};  // read by PresentFrame, also while the worker is held
    bool screen_enable = true;
    bool screen_layer_bg = true;
    bool screen_layer_win = true;
    bool screen_layer_sprites = true;
    // Virtual-key codes, indexed by JoypadKey: the arrows, W, X, Backspace and Enter.
    u32 JoyPad_Keys[8] = {0x27, 0x25, 0x26, 0x28, 0x57, 0x58, 0x08, 0x0D};
    // The console's own behaviour where this machine's differs: the processor's flag byte, flag
    // rules, start registers, HALT bug and instruction costs, and the renderer's object limit,
    // object priority and window line counter. Read once per run slice; off by default.
    bool system_exact_hardware = false;

    // Whether the machine is the colour console (its start registers, colour mode, LCDC bit 0).
    bool IsColourSystem() const { return system_type == SYSTEM_CGB; }
};

class TGBSYSF : public GbOptions {
  public:
    TGBSYSF();
    ~TGBSYSF();
    TGBSYSF(const TGBSYSF&) = delete;
    TGBSYSF& operator=(const TGBSYSF&) = delete;

    // ---- lifecycle (gbsys.cpp) ----
    // Opens rom_file_name and hard-resets. Does nothing and returns true when a ROM is already
    // open. On failure (missing, unreadable, a directory, empty) returns false with a reason in
    // *error, leaves rom_open clear and leaves the machine exactly as it was.
    bool OpenRom(std::string* error = nullptr);
    // Opens a ROM held in memory (the built-in demo ROM, tests) exactly as OpenRom opens a file,
    // with rom_file_name as given and no file kept open. An empty image is refused.
    bool OpenRomImage(std::vector<u8> image, const std::string& name, std::string* error = nullptr);
    void CloseRom();
    void HardReset();
    void Reset();
    // Applies Screen_refresh_ratio_index to the frame-skip counter's period.
    void UpdateFrameRatio();

    // ---- processor (cpu.cpp) ----
    void RunSlice();
    // RunSlice with `watch` called after every step (none taken at once: see skip_idle). When the
    // watch asks to stop, returns true at once with GbState exact (deferred work and sound applied)
    // and slice_cycles holding the part of the slice already run, so the next slice completes this
    // one. Returns false when the slice ran to its end (or did not run: BadOpCode).
    bool RunSliceWatched(StepWatch& watch);
    // Runs exactly one step of the run slice's loop (frame hand-over, one instruction or idle
    // step, timer, sound, LCD, wake and dispatch), ignoring BadOpCode. For tests and debugging.
    void Step();
    // The work that opens and closes every run slice and single step.
    void BeginSlice();
    void EndSlice();
    // Applies the cycles of the steps whose timer, sound and LCD work was deferred, so that
    // GbState is exact, and has the next step run that work in full and plan afresh. Called
    // before a write that changes when a unit next acts (DIV, TIMA, TAC, STAT, the sound
    // registers, the speed switch) and when the run slice hands the machine back.
    void SyncDeferred();
    // ORs bits into IF atomically: the GUI thread's joypad request may race the worker.
    void RequestInterrupt(u8 bits);
    void DispatchInterrupt(u8 bit, u16 vector);

    // ---- memory bus (bus.h) ----
    u8 BusRead(u16 address) const;
    void BusWrite(u16 address, u8 value);
    // Derives read_pages and write_pages from rom_bank1 and the bank registers as they are now.
    void MapReadPages();

    // ---- cartridge (cartridge.cpp) ----
    // Reads the addressable part of an open file into rom_image, fills the window and decodes the
    // header. On a read failure returns false with a reason and changes nothing.
    bool LoadCartridge(std::FILE* file, std::string* error);
    // Takes an image (cut to kMaxRomBytes) as the cartridge: fills the window, decodes the header.
    void LoadCartridgeImage(std::vector<u8> image);
    void MbcWrite(u16 address, u8 value);
    void SwitchRomBank();

    // ---- I/O page (io.cpp) ----
    void IoWrite(u16 address, u8 value);
    u8 IoRead(u16 address) const;
    void HblankDmaStep();
    // Key entry points, safe to call from the GUI thread while the worker runs: a press clears
    // the button's active-low bit and requests the joypad interrupt; a release sets the bit.
    void PressButton(int key);
    void ReleaseButton(int key);

    // ---- LCD timing (lcd.cpp) ----
    void LcdStep();
    // Cycles a run of steps may add to lcd_cycles before one of them ends the current mode; 0 when
    // the count is outside what a running machine produces (a state file's), so every step runs.
    u32 LcdCyclesToEvent() const;
    // Whether the current mode's end is quiet for a polling loop: it requests no interrupt, runs
    // no H-blank DMA, ends no frame, changes neither STAT nor LY when the loop reads them
    // (reads_stat, reads_ly), and opens a mode longer than `span` cycles and a step.
    bool LcdEventUnseen(bool reads_stat, bool reads_ly, u32 span) const;
    void SetLcdMode(u8 mode);
    void CompareLy();
    void FrameSkipStep();

    // ---- renderer (renderer.cpp) ----
    void RenderLine();
    // RenderLine by the console's rules (exact_slice): at most ten objects per line, chosen in
    // OAM order; between objects, outside colour mode the smaller X wins, then the lower OAM
    // index, in colour mode the lower index; the window's own line counter; outside colour mode
    // LCDC bit 0 blanks background and window to white; the window takes the background's place
    // in the object priority test, priority attribute included.
    void RenderLineExact();
    // The sprites on each visible line, bit i for OAM entry i. Found again when a line finds OAM
    // (VideoChanges::oam) or the sprite height changed since, which games do about once a frame,
    // and at every slice start; a line then tests only its own sprites instead of all 40.
    struct SpriteLines {
        bool valid = false;  // in this slice, found at OAM change oam_change
        u32 height = 0;
        u32 oam_change = 0;  // VideoChanges::oam then
        u64 lines[kScreenHeight] = {};
        // The same with the entries off screen to the left or right (X 0 or X >= 168), which
        // the console's OAM search counts among a line's ten.
        u64 any_x[kScreenHeight] = {};
    } sprite_lines;
    // What each visible line was last drawn from, in this slice: the registers it reads, the
    // OAM entries on it and the video change count then. A line whose registers are the same and
    // none of whose inputs changed since (VideoChanges) is in the frame buffer already, as it
    // would be drawn again: games that leave the screen still, or change a few map entries, are
    // not drawn anew. Forgotten at the start of every slice, so that nothing done between slices
    // (a state load, the debugger, the options) needs to tell.
    struct DrawnLine {
        u64 registers = 0;  // LCDC, SCX, SCY, WX, WY, the shuffle flag, and bit 48: drawn
        u64 sprites = 0;    // the OAM entries drawn on it
        u32 stamp = 0;      // VideoChanges::count when drawn
    };
    std::array<DrawnLine, kScreenHeight> drawn_lines{};
    // The writes of this slice that changed a byte of video RAM, OAM or a palette, counted, and
    // for each part a line reads the count at its last change: a line drawn at count n is out of
    // date when a part it reads changed at a count above n.
    struct VideoChanges {
        u32 count = 0;
        u32 looks = 0;                   // tile data in either bank, or a palette
        u32 oam = 0;                     // any OAM entry
        std::array<u32, 64> map_rows{};  // the maps' 32 rows each, tile numbers and attributes
        std::array<u32, 64> oam_entries{};
    } video_changes;
    // Each background map line as last drawn, for games that scroll: the map row, tile line,
    // tile data and mode it was drawn from (key, with the rows' generation), the change count
    // then, and, once the same row came up again unchanged, all 256 of its pixels, from which the
    // line at any SCX is copied. A row drawn once is drawn only as far as the line needs it, so
    // that games whose rows change every frame pay nothing for the copies. Whole rows outlive the
    // slice: they hold while video RAM and the background palettes are as the slice left them
    // (compared at the next slice's start), whatever changed them in between.
    struct BackgroundRow {
        u64 key = 0;
        u32 stamp = 0;
        u16 map_row = 0;     // VideoChanges::map_rows index
        bool whole = false;  // its pixels hold the whole row
    };
    struct BackgroundRows {
        std::array<BackgroundRow, 256> rows{};  // by map line
        u32 generation = 1;                     // a new one forgets every row at once
        bool any_whole = false;                 // some row was made whole or kept in this slice
        bool kept = false;  // some row outlived the last slice, drawn from what follows
        // A row's 256 pixels and its first 168 again, so that 21 tiles from any column are
        // copied in one piece.
        alignas(16) u8 pixels[256][(256 + 168) * 4];
        u8 vram[sizeof GbMemory::vram] = {};
        u8 bgp_colors[sizeof GbState::bgp_colors] = {};
        u8 cgb_bg_colors[sizeof GbState::cgb_bg_colors] = {};
    } background_rows;
    // Forgets what the lines were drawn from: the memory may have changed unseen by the bus.
    void ForgetDrawnLines();
    // At a slice's end and the next one's start (renderer.cpp).
    void KeepDrawnLines();
    void CheckKeptLines();
    // Background and window rows are drawn with the processor's byte shuffle where it has one
    // (x86 with AVX, found at start-up); false draws them with the portable code, which writes
    // the same bytes. Tests compare the two.
    static bool ProcessorHasByteShuffle();
    bool shuffle_rows = ProcessorHasByteShuffle();
    // Draws one 8-pixel tile row (bit planes lo and hi) at dst, a pixel of the line being drawn
    // with 8 pixels of room after it. pairs is the palette as host pixels two at a time, entry
    // a | b << 2 holding colour a then colour b, tags included (renderer.cpp builds them).
    // kind: 0 background, 1 window, 2 sprite (behind_bg: the sprite's behind-background flag).
    void DecodeTileRow(u8 lo, u8 hi, bool xflip, const std::uint64_t* pairs, u8* dst, int kind,
                       bool behind_bg);
    static void DecodeDmgPalette(u8 value, u8* colors);
    // One BCPD/OCPD data write into a 128-byte colour table at the index register's position.
    static void WritePaletteByte(u8* colors, u8* index_reg, u8 value);

    // ---- sound (sound.cpp) ----
    // One instruction step of the sound unit, taken in full (cycles still pending from the run
    // slice are applied first).
    void SoundStep();
    // The run slice's per-step call: a step that cannot make anything happen only adds its cycles
    // to snd_pending; the step that reaches snd_budget catches up and runs in full.
    void SoundAdvance() {
        const u32 pending = snd_pending + state.op_cycles;
        if (pending < snd_budget) [[likely]] {
            snd_pending = pending;
            ++snd_pending_steps;
            return;
        }
        SoundCatchUp();
    }
    void SoundCatchUp();
    // Cycles a run of steps may add before one of them needs the sound unit, and the deferred
    // steps' share: they only add to the pending count, as SoundAdvance's quiet path does.
    u32 SoundCyclesToEvent() const {
        return snd_budget > snd_pending ? snd_budget - snd_pending : 0;
    }
    void SoundAddQuietSteps(u32 cycles, u32 steps) {
        snd_pending += cycles;
        snd_pending_steps += steps;
    }
    // Applies the pending cycles, so that GbState is exact, and has the next step plan afresh.
    // Called before anything that could change when the sound unit next acts (sound register
    // writes, the speed switch) and whenever the run slice hands the machine back.
    void SoundSync();
    // Forgets the pending cycles: the state they belonged to was replaced (reset, state load).
    void SoundDropPending();
    void TriggerChannel(int n);
    void StopChannel(int n);
    // The noise generator: 15-bit results of x = x * 214013 + 2531011, (x >> 16) & 0x7FFF.
    u32 NoiseRand();

    // ---- ROM ----
    // Read by the worker at every iteration, also while it is held; changed only inside a pause.
    std::atomic<bool> rom_open{false};
    std::string rom_file_name;
    std::FILE* rom_file = nullptr;

    // ---- memory ----
    GbMemory memory;
    // The 32 KB ROM window. Bytes 0-16383 are bank 0. Reads of 0x4000-0x7FFF go through
    // rom_bank1, which points into rom_image for a bank the file holds whole, or at the upper
    // half of this window when the bank is cut short by the end of the file (the bytes past the
    // end keep what the window held before, 0xFF on a fresh load).
    u8 rom[0x8000];
    const u8* rom_bank1 = rom + kRomBankSize;
    // The processor's read map: the memory behind each 4 KB page of the address space, as
    // BusRead would find it, or null for the page at 0xF000 (the rest of the echo, OAM, the I/O
    // registers and high RAM). Opcode fetches, operands and the stack read through it without
    // the bus's range tests. It is derived at the start of every run slice and step, and again
    // after any bus write that can switch a bank; nothing outside the processor relies on it.
    const u8* read_pages[16] = {};
    // The processor's write map, alike: the plain memory at 0xA000-0xEFFF (cartridge RAM, work
    // RAM and its echo), where a write has no other effect; null elsewhere, where writes go
    // through the bus (bank switches, video RAM and OAM, which the renderer counts, registers).
    u8* write_pages[16] = {};
    // The addressable part of the ROM file, read once at open: bank switches never touch the
    // file. Bounded by kMaxRomBytes.
    std::vector<u8> rom_image;

    GbState state;

    u32 mbc_kind = MBC_UNKNOWN;
    u32 rom_banks = 0;
    bool cart_battery = false;
    bool cart_ram = false;
    bool cart_timer = false;

    // ---- frame counting (the worker's measurements live in TSystemThread) ----
    i32 frame_skip_threshold = 1;
    i32 frame_skip_period = 1;
    u32 frame_count = 0;

    // ---- host outputs ----
    std::atomic<bool> video_ready{false};
    std::atomic<bool> sound_ready{false};
    std::atomic<bool> dest_rect_dirty{false};
    i32 dest_rect[4] = {0, 0, 0, 0};
    VideoPresenter* presenter = nullptr;
    SoundOutput* sound_output = nullptr;
    // The system's error box ("Erreur", one "OK" button), set by the program: the window shows a
    // box, the headless runner prints to stderr. The host outputs report set-up failures here.
    std::function<void(const std::string&)> ShowErrorMessage;

    // Seeds the noise generator at every power-on reset; the window uses the clock, the
    // headless runner a fixed seed so runs repeat exactly.
    std::function<u32()> noise_seed_source;
    u32 noise_rng = 0;

    // ---- deferred per-step work (cpu.cpp); outside a run slice both counts are 0 ----
    // Steps that cannot make the timer, the sound unit or the LCD act, nor end the slice, only
    // count their cycles here (slice_cycles included); the step that reaches deferred_budget
    // applies them and runs that work in full.
    u32 deferred_cycles = 0;
    u32 deferred_steps = 0;
    u32 deferred_budget = 0;
    // When the LCD's mode end is the budget, the cycles by which it comes before every other
    // deadline (0 otherwise, and whenever the budget was set other than by planning).
    u32 lcd_lead = 0;
    // Alike when the sound unit's next event is the budget: the cycles by which it comes before
    // every other deadline.
    u32 sound_lead = 0;
    // Counts the points where a polling loop's reads may change: deferred work, a sync, an
    // interrupt dispatch, a frame hand-over, a new slice.
    u32 deferred_epoch = 0;
    // Whether idle steps and polling-loop passes may be taken at once; a watched slice, whose
    // watch looks at every step, takes them one by one.
    bool skip_idle = true;
    // The slice's end as the run slice fixed it at its start (the speed may switch inside it).
    u32 slice_limit = 0x40000;
    // system_exact_hardware as the run slice read it at its start: the processor's handlers and
    // the renderer's rules for the whole slice.
    bool exact_slice = false;
    // Polling loops (idle_loop.h): the last backward jump taken, and the last loop seen to
    // repeat. A place packs the jump's address (bits 0-15), its target (16-31) and SP (32-47);
    // registers holds AF, BC, DE and HL.
    struct LoopArrival {
        u64 registers = 0;
        u64 place = 0;
        u32 epoch = 0;   // deferred_epoch at the jump
        u32 cycles = 0;  // deferred_cycles and deferred_steps at the jump
        u32 steps = 0;
    } loop_arrival;
    struct IdleLoop {
        u64 registers = 0;
        u64 place = 0;
        u32 pass_cycles = 0;  // 0: none
        u32 pass_steps = 0;
        u64 pass_reciprocal = 0;  // divides by pass_cycles (cpu.cpp)
        // The ROM bank mapped at 0x4000 when the loop lies in ROM, else null: its code can only
        // change through a bank switch.
        const u8* rom_code = nullptr;
        u32 read_count = 0;
        u16 reads[4] = {};  // the addresses a pass reads, and the bytes they held
        u8 values[4] = {};
        // The body's steps (the jump excluded) and their cycles, known when there are at most 8:
        // a pass can then be walked step by step through an event that changes nothing it sees.
        u32 body_steps = 0;
        u8 body_cycles[8] = {};
        bool walkable = false;
    } idle_loop;

    // ---- sound catch-up (sound.cpp); outside a run slice snd_pending is 0 ----
    // The waveform timers of the channels the mixer hears (on, selected, routed to a terminal whose
    // volume is not 0) and whose level depends on their position: for each, the processor cycles
    // from the last replay to its next waveform step and between two steps. A heard channel of
    // period 0 (a noise channel drawing at every step) is left out and noted: its level holds
    // through a run of quiet steps, whose draws are replayed at the end by count.
    struct HeardTimers {
        static constexpr u32 kNone = 1u << 30;  // no step: more than any run slice holds
        u32 count = 0;
        bool every_step = false;
        u32 channel[4] = {};
        u32 next[4] = {};
        u32 period[4] = {};
        // The timers' channels as their steps leave them: level, waveform position, and the
        // noise generator (filled where they are stepped, from GbState).
        u32 level[4];
        u32 position[4];
        u32 noise;

        // Processor cycles from the last replay until the mix could change: until then every frame
        // mixes the same levels, so frames inside a run of quiet steps can be replayed too.
        // Envelope, length and sweep ticks are in the channel budget already.
        u32 FirstStep() const {
            if (every_step) return 0;
            u32 first = kNone;
            for (u32 i = 0; i < count; ++i) first = std::min(first, next[i]);
            return first;
        }
    };
    u32 snd_pending = 0;         // cycles of steps not yet replayed on the sound accumulators
    u32 snd_pending_steps = 0;   // the number of those steps
    u32 snd_rate_applied = 0;    // cycles of them already counted in snd_rate_acc
    u32 snd_budget = 0;          // pending cycles at which the next step must catch up
    u32 snd_channel_budget = 0;  // pending cycles at which a channel needs a step of its own
    // The mixer's look-ahead through the pending run. A frame whose levels depend on where the
    // steps fall (a heard waveform step that changes its channel's level comes less than a step's
    // longest cycles before it) is the budget's: the step that reaches it notes where it began
    // (marks) and the look-ahead goes on from there (cursor: the timers stepped up to the frame,
    // the frame's time and the mixer's accumulator after it). The replay mixes those frames from
    // their marks.
    struct SoundPlan {
        static constexpr u32 kMaxMarks = 64;
        bool frame_due = false;  // snd_budget is the cursor's frame
        HeardTimers heard;
        u32 frame = 0;
        std::int64_t acc_after = 0;
        u32 marks = 0;
        u32 mark_frame[kMaxMarks] = {};
        u32 mark_start[kMaxMarks] = {};  // pending cycles when the frame's step began
    } snd_plan;
    // Every step runs the timer, sound and LCD work in full instead of catching up at deadlines.
    // The observable behaviour is the same either way; tests compare the two.
    bool reference_mode = false;
};

}  // namespace kivo

// The bus's inline definitions: every caller of BusRead and BusWrite needs them.
#include "machine/bus.h"
