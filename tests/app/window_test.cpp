// The main window as a user drives it, on the offscreen platform with its real worker thread and
// no sound device: the INI file at start and at quit, the title and status bar, the file, RAM and
// debugger commands and the player's hotkeys.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTest>
#include <cstring>
#include <filesystem>
#include <optional>

#include "app/debug_window.h"
#include "app/main_window.h"
#include "app/player_hotkeys.h"
#include "app/screen_view.h"
#include "app/window_fixture.h"
#include "ui/options.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;

class WindowTest : public MainWindowTest {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        window->choose_open_file = [this](const QString&, const QString&) {
            return QString::fromStdString(chosen);
        };
        window->choose_save_file = window->choose_open_file;
        window->confirm_overwrite = [this](const QString& name) {
            prompts.push_back(name.toStdString());
            return replace;
        };
    }
    // Triggers the menu item with this text, wherever it is, with `file` as the dialog's answer.
    void Trigger(const char* text, const std::string& file = {}) {
        chosen = file;
        for (QMenu* menu : window->menuBar()->findChildren<QMenu*>()) {
            for (QAction* action : menu->actions()) {
                if (action->text() == text) return action->trigger();
            }
        }
        ADD_FAILURE() << "no item " << text;
    }
    Bytes ReadBytes(const std::string& name) const {
        const std::string text = ReadText(name);
        return Bytes(text.begin(), text.end());
    }
    Bytes MachineBytes() {
        return Held([&] { return StateFileImage(window->machine()); });
    }
    // A copy of the demo cartridge after a few frames, held with the user's pause.
    void RunDemoAndPause() {
        fs::copy_file(KIVO_DEMO_ROM, Path("demo.gb"));
        window->OpenRomPath(Path("demo.gb"));
        ASSERT_TRUE(WaitForMachine([&] { return window->machine().frame_count > 20; }));
        window->Pause1Click();
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyPress(window.get(), key, modifiers);
        QTest::keyRelease(window.get(), key, modifiers);
    }
    int Counter() {
        return Held([&] {
            return window->machine().memory.wram[0] | window->machine().memory.wram[1] << 8;
        });
    }
    // Frames the game shows in `ms` of real time.
    u32 FramesIn(int ms) {
        const u32 before = Frames();
        QTest::qWait(ms);
        return Frames() - before;
    }

    std::string chosen;  // what the file dialogs answer; empty: cancelled
    bool replace = true;
    std::vector<std::string> prompts;
};

// With no INI file every option has its default: a blue window, "Stopped". Quitting writes every
// option, and the next start reads them back; an INI file that cannot be written is reported.
TEST_F(WindowTest, TheIniFileIsReadAtStartAndWrittenAtQuit) {
    EXPECT_EQ(Title(), "KIVO");
    EXPECT_EQ(Status(), "Stopped");
    window->show();
    EXPECT_EQ(window->screen().grab().toImage().pixelColor(5, 5), QColor(0, 0, 255));
    window->machine().screen_size = 3;
    window->close();
    window.reset();
    const std::string ini = ReadText("kivo.INI");
    for (const OptionDef& option : Options()) {
        EXPECT_NE(ini.find(std::string(option.key) + "="), std::string::npos) << option.key;
    }
    Start(Path("kivo.INI"));
    EXPECT_EQ(window->machine().screen_size.load(), 3u);
    EXPECT_TRUE(errors.empty());

    WriteText("not-a-folder", "x");
    Start(Path("not-a-folder/kivo.INI"));
    window.reset();
    EXPECT_EQ(errors, std::vector<std::string>{"Impossible d'écrire dans " +
                                               Path("not-a-folder/kivo.INI")});
}

// The title names the open ROM's file; a drop opens only its first file. Right after a ROM opens
// the status still reads "Stopped"; the pause shows its check mark and survives opening another.
TEST_F(WindowTest, TitleAndStatusFollowOpenCloseDropAndPause) {
    const std::string game = WriteRom("game.gb"), other = WriteRom("other.bin");
    window->OpenRomPath(game);
    EXPECT_EQ(Title(), "KIVO - game.gb");
    EXPECT_EQ(window->status_text().toStdString(), "Stopped");
    ASSERT_TRUE(WaitForRunning(true));
    EXPECT_EQ(Status().rfind("Running... - Speed = ", 0), 0u) << Status();

    window->Pause1Click();
    EXPECT_TRUE(window->pause_action()->isChecked());
    EXPECT_EQ(Status(), "Stopped (Paused)");
    Drop({other, game});
    EXPECT_EQ(Title(), "KIVO - other.bin");
    QTest::qWait(100);
    EXPECT_FALSE(window->worker().running);
    window->pause_action()->trigger();  // F5's action
    EXPECT_TRUE(WaitForRunning(true));

    window->CloseROM1Click();
    EXPECT_EQ(Title(), "KIVO");
    EXPECT_FALSE(window->machine().rom_open);
    window->choose_rom_file = [] { return QString(); };  // cancelled: nothing changes
    window->OpenROM1Click();
    EXPECT_EQ(Title(), "KIVO");
    EXPECT_TRUE(errors.empty());

    // A bad opcode is reported once, however many timer ticks see it.
    gbasm::Asm bad(0x0100);
    bad.db({0xDD});
    window->OpenRomPath(WriteRom("bad.gb", &bad));
    // Read as the window's timer reads it, while the worker runs.
    u8& flag = window->machine().state.BadOpCode;
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::atomic_ref<u8>(flag).load() != 0; }, 3000));
    for (int tick = 0; tick < 3; ++tick) window->Timer1Timer();
    EXPECT_EQ(errors, std::vector<std::string>{"Bad Opcode"});
}

// "x.sav" and "x" both save x.kivostate; an existing file is replaced only when the user agrees,
// and the question names the file really written. A rejected state changes nothing shown.
TEST_F(WindowTest, SavesAskBeforeReplacingAndRejectedStatesChangeNothing) {
    RunDemoAndPause();
    Trigger("Save State...", Path("x.sav"));
    const Bytes saved = MachineBytes();
    EXPECT_EQ(ReadBytes("x.kivostate"), saved);
    EXPECT_TRUE(prompts.empty());
    window->machine().memory.wram[5] ^= 1;
    replace = false;
    Trigger("Save State...", Path("x"));
    EXPECT_EQ(prompts, std::vector<std::string>{"x.kivostate"});
    EXPECT_EQ(ReadBytes("x.kivostate"), saved);
    Trigger("Save WRAM...", Path("m.sav"));
    EXPECT_EQ(ReadBytes("m.kivowram"),
              Bytes(window->machine().memory.wram, window->machine().memory.wram + 32768));

    const Bytes before = MachineBytes();
    const QImage picture = window->screen().shown_picture();
    WriteText("short.kivostate", std::string(kStateFileBytes - 1, 'x'));
    for (const char* name : {"short.kivostate", "missing.kivostate"}) {
        errors.clear();
        Trigger("Open State...", Path(name));
        ASSERT_EQ(errors.size(), 1u) << name;
        EXPECT_EQ(errors[0].rfind(Path(name) + ": ", 0), 0u) << errors[0];
        EXPECT_EQ(MachineBytes(), before) << name;
        EXPECT_EQ(window->screen().shown_picture(), picture) << name;
    }
}

TEST_F(WindowTest, ClearRamItemsZeroTheirRegionsOnly) {
    TGBSYSF& gb = window->machine();
    const struct {
        const char* item;
        int wram, xram, vram;
    } cases[] = {{"Clear VRAM", 1, 2, 0},
                 {"Clear WRAM", 0, 2, 3},
                 {"Clear XRAM", 1, 0, 3},
                 {"Clear All RAM", 0, 0, 0}};
    for (const auto& c : cases) {
        std::memset(gb.memory.wram, 1, sizeof gb.memory.wram);
        std::memset(gb.memory.xram, 2, sizeof gb.memory.xram);
        std::memset(gb.memory.vram, 3, sizeof gb.memory.vram);
        gb.memory.oam_page[0] = 4;
        Trigger(c.item);
        EXPECT_EQ(gb.memory.wram[0x7FFF], c.wram) << c.item;
        EXPECT_EQ(gb.memory.xram[0x1FFFF], c.xram) << c.item;
        EXPECT_EQ(gb.memory.vram[0x3FFF], c.vram) << c.item;
        EXPECT_EQ(gb.memory.oam_page[0], 4) << c.item;
    }
}

// The debugger opens with its code view at PC and its memory view where it was left; the keys
// move each pane, and G asks for an address prefilled with the pane's own.
TEST_F(WindowTest, DebuggerKeysAndGotoMoveTheViews) {
    window->machine().state.PC = 0x0150;
    TDebugWnd1& debug = window->debug_window();
    std::vector<std::string> prefills;
    debug.ask_goto = [&](const QString& prefill) -> std::optional<QString> {
        prefills.push_back(prefill.toStdString());
        return QString("c0");
    };
    const auto first = [](QPlainTextEdit* pane) {
        return pane->toPlainText().section('\n', 0, 0).left(4).toStdString();
    };
    window->exec_dialog = [&](QDialog&) {
        EXPECT_EQ(first(debug.memo2()), "0150");
        QTest::keyClick(debug.memo1(), Qt::Key_Up);
        EXPECT_EQ(first(debug.memo1()), "FFF8");
        QTest::keyClick(debug.memo2(), Qt::Key_Down);
        EXPECT_EQ(first(debug.memo2()), "0151");
        QTest::keyClick(debug.memo1(), Qt::Key_G);
        EXPECT_EQ(first(debug.memo1()), "00C0");
        QTest::keyClick(debug.memo2(), Qt::Key_G);
        EXPECT_EQ(first(debug.memo2()), "00C0");
        return static_cast<int>(QDialog::Rejected);
    };
    window->Debug1Click();
    EXPECT_EQ(prefills, (std::vector<std::string>{"FFF8", "0151"}));
    window->machine().state.PC = 0x0200;
    window->exec_dialog = [&](QDialog&) {
        EXPECT_EQ(first(debug.memo1()), "00C0");
        EXPECT_EQ(first(debug.memo2()), "0200");
        return static_cast<int>(QDialog::Rejected);
    };
    window->Debug1Click();
}

// Quick slots and the screenshot by their keys, unless a button binding takes the key.
TEST_F(WindowTest, QuickSlotsAndScreenshotUnlessTheKeyIsBound) {
    RunDemoAndPause();
    Key(Qt::Key_F4);
    EXPECT_EQ(Status(), "No state in slot 4");
    Key(Qt::Key_F2, Qt::ShiftModifier);
    EXPECT_EQ(Status(), "State 2 saved");
    const Bytes saved = MachineBytes();
    window->machine().memory.wram[5] ^= 1;
    Key(Qt::Key_F2);
    EXPECT_EQ(Status(), "State 2 loaded");
    EXPECT_EQ(MachineBytes(), saved);

    Key(Qt::Key_F12);
    const std::string shot = window->hotkeys().last_screenshot();
    EXPECT_EQ(Status(), "Screenshot " + fs::path(shot).filename().string());
    const QImage png(QString::fromStdString(shot));
    EXPECT_EQ(png.convertToFormat(QImage::Format_RGB32),
              window->screen().shown_picture().convertToFormat(QImage::Format_RGB32));

    // Bound to Button A and Start: the keys play the buttons and nothing else.
    window->machine().JoyPad_Keys[4] = 0x72;  // F3
    window->machine().JoyPad_Keys[7] = 0x09;  // Tab
    QTest::keyPress(window.get(), Qt::Key_F3, Qt::ShiftModifier);
    QTest::keyPress(window.get(), Qt::Key_Tab);
    EXPECT_FALSE(window->hotkeys().fast_forward());
    EXPECT_EQ(window->machine().state.joy_btn & 0x9, 0);
    EXPECT_FALSE(fs::exists(Path("demo.3.kivostate")));
}

TEST_F(WindowTest, FastForwardThenRewindAndResume) {
    // A game that counts its frames in 0xC000-0xC001, which a rewind takes back.
    using namespace gbasm;
    Asm a(0x0100);
    a.label("loop");
    a.ldh(A, 0x44);
    a.cp(144);
    a.jr(NZ, "loop");
    a.ld(HL, 0xC000);
    a.inc(Mem(HL));
    a.jr(NZ, "wait");
    a.inc(HL);
    a.inc(Mem(HL));
    a.label("wait");
    a.ldh(A, 0x44);
    a.cp(144);
    a.jr(Z, "wait");
    a.jr("loop");
    window->OpenRomPath(WriteRom("game.gb", &a));
    ASSERT_TRUE(WaitForFrames(3));
    const u32 normal = FramesIn(500);
    EXPECT_LT(normal, 40u);
    QTest::keyPress(window.get(), Qt::Key_Tab);
    EXPECT_GT(FramesIn(500), normal * 3 / 2);
    QTest::keyRelease(window.get(), Qt::Key_Tab);
    EXPECT_LT(FramesIn(500), 40u);
    ASSERT_TRUE(WaitForMachine([&] { return window->hotkeys().ring().size() >= 12; }));

    const int before = Counter();
    QTest::keyPress(window.get(), Qt::Key_QuoteLeft);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->hotkeys().rewind_steps() >= 8; }, 3000));
    const int steps = window->hotkeys().rewind_steps();
    const int rewound = Counter();
    QTest::keyRelease(window.get(), Qt::Key_QuoteLeft);
    // Each step is a quarter second, 14.9 frames; the first goes back to the newest snapshot,
    // at most a quarter second old.
    const int back = (before - rewound + 0x10000) & 0xFFFF;
    EXPECT_GE(back, static_cast<int>((steps - 1) * 14.9) - 2);
    EXPECT_LE(back, static_cast<int>(steps * 14.9) + 6);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->hotkeys().rewinding(); }, 1000));
    EXPECT_TRUE(
        WaitForMachine([&] { return window->machine().memory.wram[0] != (rewound & 0xFF); }));
}

TEST_F(WindowTest, FullScreenFillsTheScreenAndEscapeLeavesIt) {
    window->OpenRomPath(WriteRom("game.gb"));
    Key(Qt::Key_F11);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->geometry() == window->QWidget::screen()->geometry(); }, 3000));
    EXPECT_FALSE(window->menuBar()->isVisible());
    // The picture: 10:9, as large as fits, centred.
    ASSERT_TRUE(WaitForMachine([&] { return !window->machine().dest_rect_dirty.load(); }));
    const QSize view = window->screen().size();
    // Read with the worker held: it writes the rectangle as it presents a frame.
    const std::array<i32, 4> d = Held([&] {
        const i32* r = window->machine().dest_rect;
        return std::array<i32, 4>{r[0], r[1], r[2], r[3]};
    });
    EXPECT_TRUE(d[2] - d[0] == view.width() || d[3] - d[1] == view.height());
    EXPECT_NEAR((d[2] - d[0]) * 9, (d[3] - d[1]) * 10, 10);
    EXPECT_NEAR(d[0], view.width() - d[2], 1);
    Key(Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isFullScreen(); }, 3000));
    EXPECT_TRUE(window->menuBar()->isVisible());
}

}  // namespace
}  // namespace kivo
