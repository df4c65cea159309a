// The window's file, RAM, debugger and cartridge commands: the file dialogs' captions and
// filters, the extension and overwrite rules, rejected and failed files, memory files of any
// length, the RAM clears, the debugger's keys and go-to dialog, the information box, and states
// that move between the window and kivo-run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/debug_window.h"
#include "app/screen_view.h"
#include "app/window_fixture.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;

class CommandsTest : public MainWindowTest {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        window->choose_open_file = [this](const QString& caption, const QString& filter) {
            dialogs.push_back(caption.toStdString() + " | " + filter.toStdString());
            return QString::fromStdString(chosen);
        };
        window->choose_save_file = window->choose_open_file;
        window->confirm_overwrite = [this](const QString& name) {
            prompts.push_back(name.toStdString());
            return replace;
        };
    }
    // The menu item with this text, wherever it is.
    QAction* Item(const QString& text) const {
        for (QMenu* menu : window->menuBar()->findChildren<QMenu*>()) {
            for (QAction* action : menu->actions()) {
                if (action->text() == text) return action;
            }
        }
        ADD_FAILURE() << "no item " << text.toStdString();
        return nullptr;
    }
    void Trigger(const char* text, const std::string& file = {}) {
        chosen = file;
        Item(text)->trigger();
    }
    Bytes ReadBytes(const std::string& name) const {
        const std::string text = ReadText(name);
        return Bytes(text.begin(), text.end());
    }
    void WriteBytes(const std::string& name, const Bytes& bytes) const {
        WriteText(name, std::string(bytes.begin(), bytes.end()));
    }
    // The machine as a state file holds it.
    Bytes MachineBytes() {
        const auto* arena = reinterpret_cast<const u8*>(&window->machine().memory);
        const auto* state = reinterpret_cast<const u8*>(&window->machine().state);
        Bytes bytes(arena, arena + kStateRegionsBytes);
        bytes.insert(bytes.end(), state, state + sizeof(GbState));
        return bytes;
    }
    // Opens the demo cartridge, lets it run until it has shown a few frames, then holds it with
    // the user's pause so that nothing changes any more.
    void RunDemoAndPause() {
        window->OpenRomPath(KIVO_DEMO_ROM);
        ASSERT_TRUE(WaitForMachine([&] { return window->machine().frame_count > 20; }));
        window->Pause1Click();
        ASSERT_TRUE(window->screen().has_picture());
    }

    std::string chosen;  // what the file dialogs answer; empty: cancelled
    bool replace = true;
    std::vector<std::string> dialogs, prompts;
};

TEST_F(CommandsTest, FileDialogsHaveTheirCaptionsAndFilters) {
    for (const char* item : {"Open State...", "Save State...", "Open XRAM...", "Open VRAM...",
                             "Open WRAM...", "Save XRAM...", "Save VRAM...", "Save WRAM..."}) {
        Trigger(item);  // cancelled: nothing happens
    }
    EXPECT_EQ(
        dialogs,
        (std::vector<std::string>{
            "Open State... | State File (*.kivostate)", "Save State... | State File (*.kivostate)",
            "Open XRAM... | XRAM (*.kivoxram)", "Open VRAM... | VRAM (*.kivovram)",
            "Open WRAM... | WRAM (*.kivowram)", "Save XRAM... | XRAM (*.kivoxram)",
            "Save VRAM... | VRAM (*.kivovram)", "Save WRAM... | WRAM (*.kivowram)"}));
    EXPECT_EQ(FileCount(), 0u);
    EXPECT_TRUE(errors.empty());
}

// "x.sav" and "x" both save x.kivostate; an existing file is replaced only when the user agrees,
// and the question names the file really written.
TEST_F(CommandsTest, SavesTakeTheCommandsExtensionAndAskBeforeReplacing) {
    window->machine().memory.wram[5] = 0x42;
    Trigger("Save State...", Path("x.sav"));
    EXPECT_EQ(ReadBytes("x.kivostate"), MachineBytes());
    EXPECT_TRUE(prompts.empty());
    EXPECT_FALSE(fs::exists(Path("x.sav")));

    window->machine().memory.wram[5] = 0x43;
    replace = false;
    Trigger("Save State...", Path("x"));
    EXPECT_EQ(prompts, std::vector<std::string>{"x.kivostate"});
    EXPECT_EQ(ReadBytes("x.kivostate")[5], 0x42);
    replace = true;
    Trigger("Save State...", Path("x"));
    EXPECT_EQ(ReadBytes("x.kivostate")[5], 0x43);

    struct Case {
        const char* item;
        const char* written;
        std::size_t size;
    };
    for (const Case& c :
         {Case{"Save XRAM...", "m.kivoxram", 131072}, Case{"Save VRAM...", "m.kivovram", 16384},
          Case{"Save WRAM...", "m.kivowram", 32768}}) {
        Trigger(c.item, Path("m.sav"));
        EXPECT_EQ(ReadBytes(c.written).size(), c.size) << c.item;
    }
    EXPECT_EQ(ReadBytes("m.kivowram"),
              Bytes(window->machine().memory.wram, window->machine().memory.wram + 32768));
    // The state and the three memory files, and no temporary file left behind.
    EXPECT_EQ(FileCount(), 4u);
    EXPECT_TRUE(errors.empty());
}

// A state of the wrong size, a folder or a missing file: one error box naming the file, and the
// machine and the picture exactly as they were.
TEST_F(CommandsTest, RejectedStatesLeaveTheMachineAndPictureAsTheyWere) {
    RunDemoAndPause();
    const Bytes before = MachineBytes();
    const QImage picture = window->screen().shown_picture();
    WriteBytes("short.kivostate", Bytes(kStateFileBytes - 1, 0xAA));
    WriteBytes("long.kivostate", Bytes(kStateFileBytes + 1, 0xAA));
    WriteBytes("empty.kivostate", {});
    fs::create_directory(Path("folder.kivostate"));
    for (const char* name : {"short.kivostate", "long.kivostate", "empty.kivostate",
                             "folder.kivostate", "missing.kivostate"}) {
        errors.clear();
        Trigger("Open State...", Path(name));
        ASSERT_EQ(errors.size(), 1u) << name;
        EXPECT_EQ(errors[0].rfind(Path(name) + ": ", 0), 0u) << errors[0];
        EXPECT_EQ(MachineBytes(), before) << name;
        EXPECT_EQ(window->screen().shown_picture(), picture) << name;
    }
}

// A save that cannot be written reports once and leaves what was there.
TEST_F(CommandsTest, FailedSavesReportAndKeepTheOldFile) {
    WriteText("file", "x");
    fs::create_directory(Path("taken.kivostate"));
    for (const std::string& target : {Path("file/x"), Path("taken")}) {
        errors.clear();
        Trigger("Save State...", target);
        EXPECT_EQ(errors.size(), 1u) << target;
    }
    EXPECT_TRUE(fs::is_directory(Path("taken.kivostate")));
    EXPECT_EQ(ReadText("file"), "x");
    errors.clear();
    Trigger("Save WRAM...", Path("file/x"));
    EXPECT_EQ(errors.size(), 1u);
}

// A memory file longer than its region fills it and ignores the rest; a shorter one fills what
// it can; an unreadable one is reported and changes nothing.
TEST_F(CommandsTest, MemoryFilesFillTheirRegionUpToItsSize) {
    TGBSYSF& gb = window->machine();
    std::memset(gb.memory.wram, 0x11, sizeof gb.memory.wram);
    Bytes longer(40000);
    for (std::size_t i = 0; i < longer.size(); ++i) longer[i] = static_cast<u8>(i * 7);
    WriteBytes("long.kivowram", longer);
    Trigger("Open WRAM...", Path("long.kivowram"));
    EXPECT_EQ(Bytes(gb.memory.wram, gb.memory.wram + 32768),
              Bytes(longer.begin(), longer.begin() + 32768));

    std::memset(gb.memory.xram, 0x11, sizeof gb.memory.xram);
    WriteBytes("bank0.kivoxram", Bytes(8192, 0x5A));
    Trigger("Open XRAM...", Path("bank0.kivoxram"));
    EXPECT_EQ(gb.memory.xram[0], 0x5A);
    EXPECT_EQ(gb.memory.xram[8191], 0x5A);
    EXPECT_EQ(gb.memory.xram[8192], 0x11);

    std::memset(gb.memory.vram, 0x11, sizeof gb.memory.vram);
    Trigger("Open VRAM...", Path("missing.kivovram"));
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(gb.memory.vram[0], 0x11);
}

TEST_F(CommandsTest, ClearRamItemsZeroTheirRegionsOnly) {
    TGBSYSF& gb = window->machine();
    auto fill = [&] {
        std::memset(gb.memory.wram, 1, sizeof gb.memory.wram);
        std::memset(gb.memory.xram, 2, sizeof gb.memory.xram);
        std::memset(gb.memory.vram, 3, sizeof gb.memory.vram);
        std::memset(gb.memory.oam_page, 4, sizeof gb.memory.oam_page);
        gb.memory.io_page[0x80] = 5;
    };
    struct Case {
        const char* item;
        int wram, xram, vram;
    };
    for (const Case& c : {Case{"Clear VRAM", 1, 2, 0}, Case{"Clear WRAM", 0, 2, 3},
                          Case{"Clear XRAM", 1, 0, 3}, Case{"Clear All RAM", 0, 0, 0}}) {
        fill();
        Trigger(c.item);
        EXPECT_EQ(gb.memory.wram[0x7FFF], c.wram) << c.item;
        EXPECT_EQ(gb.memory.xram[0x1FFFF], c.xram) << c.item;
        EXPECT_EQ(gb.memory.vram[0x3FFF], c.vram) << c.item;
        EXPECT_EQ(gb.memory.oam_page[0], 4) << c.item;
        EXPECT_EQ(gb.memory.io_page[0x80], 5) << c.item;
    }
}

// The debugger opens with its code view at PC and its memory view where it was left; the keys
// move each pane, wrapping at 16 bits; the go-to dialog takes at most four hex digits.
TEST_F(CommandsTest, DebuggerKeysAndGotoMoveTheViews) {
    TGBSYSF& gb = window->machine();
    gb.state.PC = 0x0150;
    std::vector<std::string> prefills;
    std::vector<std::optional<QString>> replies;
    TDebugWnd1& debug = window->debug_window();
    debug.ask_goto = [&](const QString& prefill) {
        prefills.push_back(prefill.toStdString());
        const std::optional<QString> reply = replies.front();
        replies.erase(replies.begin());
        return reply;
    };
    auto first_line = [](QPlainTextEdit* pane) {
        return pane->toPlainText().section('\n', 0, 0).left(4).toStdString();
    };
    window->exec_dialog = [&](QDialog& dialog) {
        EXPECT_EQ(&dialog, &debug);
        EXPECT_EQ(dialog.windowTitle(), "Debug");
        EXPECT_EQ(dialog.size(), QSize(512, 435));
        EXPECT_EQ(debug.memo1()->geometry(), QRect(8, 8, 257, 249));
        EXPECT_EQ(debug.memo2()->geometry(), QRect(272, 8, 225, 249));
        EXPECT_EQ(debug.memo3()->geometry(), QRect(8, 264, 489, 161));
        EXPECT_EQ(debug.memo1()->blockCount(), 16);
        EXPECT_EQ(debug.memo2()->blockCount(), 16);
        EXPECT_EQ(debug.memo3()->blockCount(), 20);
        EXPECT_EQ(debug.memo3()->font(), DebuggerFont());
        EXPECT_EQ(first_line(debug.memo2()), "0150");
        EXPECT_EQ(first_line(debug.memo1()), "0000");

        struct Case {
            QPlainTextEdit* pane;
            Qt::Key key;
            const char* memory;
            const char* code;
        };
        const Case cases[] = {
            {debug.memo1(), Qt::Key_Down, "0008", "0150"},
            {debug.memo1(), Qt::Key_Up, "0000", "0150"},
            {debug.memo1(), Qt::Key_Up, "FFF8", "0150"},
            {debug.memo1(), Qt::Key_PageDown, "0078", "0150"},
            {debug.memo1(), Qt::Key_PageUp, "FFF8", "0150"},
            {debug.memo2(), Qt::Key_Down, "FFF8", "0151"},
            {debug.memo2(), Qt::Key_PageUp, "FFF8", "0149"},
            {debug.memo2(), Qt::Key_PageDown, "FFF8", "0151"},
            {debug.memo2(), Qt::Key_Up, "FFF8", "0150"},
        };
        for (const Case& c : cases) {
            QTest::keyClick(c.pane, c.key);
            EXPECT_EQ(first_line(debug.memo1()), c.memory);
            EXPECT_EQ(first_line(debug.memo2()), c.code);
        }
        // Page Up at 0x0040 gives 0xFFC0.
        debug.mem_address = 0x0040;
        QTest::keyClick(debug.memo1(), Qt::Key_PageUp);
        EXPECT_EQ(debug.mem_address, 0xFFC0);

        // "c0", "12345", "xyz", an empty reply, Cancel.
        replies = {QString("c0"), QString("12345"), QString("xyz"), QString(""), std::nullopt};
        for (const char* expected : {"00C0", "1234", "1234", "1234", "1234"}) {
            QTest::keyClick(debug.memo1(), Qt::Key_G);
            EXPECT_EQ(first_line(debug.memo1()), expected);
        }
        EXPECT_EQ(prefills, (std::vector<std::string>{"FFC0", "00C0", "1234", "1234", "1234"}));
        replies = {QString("ff00")};
        QTest::keyClick(debug.memo2(), Qt::Key_G);
        EXPECT_EQ(debug.code_address, 0xFF00);
        return static_cast<int>(QDialog::Rejected);
    };
    window->Debug1Click();

    // Reopened: the memory view stays where it was, the code view follows PC again.
    gb.state.PC = 0x0200;
    window->exec_dialog = [&](QDialog&) {
        EXPECT_EQ(debug.mem_address, 0x1234);
        EXPECT_EQ(first_line(debug.memo2()), "0200");
        return static_cast<int>(QDialog::Rejected);
    };
    window->Debug1Click();
}

// The information box shows the exact text for a known header.
TEST_F(CommandsTest, CartridgeInfoShowsTheHeaderInTheInformationBox) {
    Bytes rom(0x8000, 0);
    // A byte above 0x7F shows as Latin-1; a title of 15 bytes overlaps the manufacturer code.
    const char title[] = "POCKET\xC9MONSTERS";
    std::memcpy(&rom[0x134], title, sizeof title - 1);
    rom[0x143] = 0x80;
    rom[0x144] = 0x30;
    rom[0x145] = 0x31;
    rom[0x146] = 0x03;
    rom[0x147] = 0x13;
    rom[0x148] = 0x01;
    rom[0x149] = 0x02;
    rom[0x14A] = 0x01;
    rom[0x14B] = 0x33;
    rom[0x14C] = 0x01;
    rom[0x14D] = 0xA5;
    rom[0x14E] = 0xBE;
    rom[0x14F] = 0xEF;
    WriteBytes("game.gb", rom);
    window->OpenRomPath(Path("game.gb"));
    std::vector<QString> boxes;
    window->info_box = [&](const QString& text) { boxes.push_back(text); };
    Item("Cartridge Info...")->trigger();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].toStdString(),
              std::string(" \n Title : POCKET\u00C9MONSTERS \n Manufacturer Code : 54455253 \n"
                          " CGB Flag : 80 \n New Licensee Code : 3031 \n SGB Flag : 03 \n"
                          " Cartridge Type : 13 \n ROM Size : 01 \n RAM Size : 02 \n"
                          " Destination Code : 01 \n Old Licensee Code : 33 \n"
                          " Mask ROM Version number : 01 \n Header Checksum : A5 \n"
                          " Global Checksum : BEEF \n  \n Cartridge TypeName : MBC3 \n"
                          " Cartridge Battery : Yes \n Cartridge RAM : Yes \n"
                          " Cartridge Timer : No \n  "));
}

// Runs kivo-run with its arguments; returns its exit status.
int RunKivoRun(const std::string& arguments) {
    const std::string command = "'" KIVO_RUN "' " + arguments + " >/dev/null 2>&1 </dev/null";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A state saved in the window is the machine kivo-run continues from, and the reverse: each side
// saves back exactly the bytes it loaded.
TEST_F(CommandsTest, StatesMoveBetweenTheWindowAndTheRunner) {
    RunDemoAndPause();
    Trigger("Save State...", Path("window.kivostate"));
    const std::string rom = std::string("'") + KIVO_DEMO_ROM + "'";
    ASSERT_EQ(RunKivoRun(rom + " --slices 0 --load-state '" + Path("window.kivostate") +
                         "' --save-state '" + Path("runner.kivostate") + "'"),
              0);
    EXPECT_EQ(ReadBytes("runner.kivostate"), ReadBytes("window.kivostate"));

    ASSERT_EQ(RunKivoRun(rom + " --slices 30 --save-state '" + Path("ran.kivostate") + "'"), 0);
    const Bytes ran = ReadBytes("ran.kivostate");
    ASSERT_EQ(ran.size(), kStateFileBytes);
    ASSERT_NE(ran, ReadBytes("window.kivostate"));
    Trigger("Open State...", Path("ran.kivostate"));
    EXPECT_EQ(MachineBytes(), ran);
    Trigger("Save State...", Path("back.kivostate"));
    EXPECT_EQ(ReadBytes("back.kivostate"), ran);
    EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace kivo
