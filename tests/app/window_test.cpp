// The main window as a user drives it, on the offscreen platform with its real worker thread and
// no sound device, its modal boxes replaced by recorders: the title and status bar, the state
// files, the player's hotkeys, the options dialog and the INI file, and a run of drops that must
// lose no battery save.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "app/main_window.h"
#include "app/options_dialog.h"
#include "app/player_hotkeys.h"
#include "app/screen_view.h"
#include "asm/gbasm.h"
#include "support/rom_builder.h"
#include "support/temp_dir.h"
#include "ui/options.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

class WindowTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        Start(Path("kivo.INI"));
    }
    void TearDown() override {
        window.reset();
        TempDirTest::TearDown();
    }
    void Start(const std::string& ini_path) {
        window = std::make_unique<TMainWnd>(TMainWnd::Setup{ini_path, /*sound=*/false});
        window->error_box = [this](const QString& text) { errors.push_back(text.toStdString()); };
        window->choose_open_file = [this](const QString&, const QString&) {
            return QString::fromStdString(chosen);
        };
        window->choose_save_file = window->choose_open_file;
        // The offscreen platform never makes the application active.
        window->worker().SetAppActive(true);
    }
    // A cartridge whose game counts its starts in the first byte of its RAM (kept in a battery
    // save when the cartridge has one), then its frames in 0xC000, which a rewind takes back.
    std::string WriteRom(const std::string& name, const test::RomShape& shape = {}) {
        using namespace gbasm;
        Asm a(0x0100);
        a.ld(A, 0x0A);
        a.ld(Mem(0x0000), A);  // RAM on
        a.ld(A, Mem(0xA000));
        a.inc(A);
        a.ld(Mem(0xA000), A);
        a.ld(HL, 0xC000);
        a.label("loop");
        a.ldh(A, 0x44);
        a.cp(144);
        a.jr(NZ, "loop");
        a.inc(Mem(HL));
        a.label("wait");
        a.ldh(A, 0x44);
        a.cp(144);
        a.jr(Z, "wait");
        a.jr("loop");
        std::vector<u8> rom = test::MakeRom(shape);
        PlaceInRom(rom, a);
        WriteText(name, std::string(rom.begin(), rom.end()));
        return Path(name);
    }
    std::string Status() {
        window->UpdateSS();
        return window->status_text().toStdString();
    }
    // Runs `read` with the worker held, so that the machine is read between two of its passes.
    template <typename Read>
    auto Held(Read read) {
        window->worker().ThreadPause1();
        auto value = read();
        window->worker().ThreadContinue1();
        return value;
    }
    // Waits until `test` holds for the machine, looked at with the worker held every 50 ms. Looks
    // in quicker succession would keep the worker from running: a pass that finds it held ends
    // with a repaint that waits for the display's retrace, and the next look would catch it
    // again before it runs.
    template <typename Test>
    bool WaitForMachine(Test test) {
        QElapsedTimer timer;
        timer.start();
        while (!Held(test)) {
            if (timer.elapsed() > 20000) return false;
            QTest::qWait(50);
        }
        return true;
    }
    // Frames the game shows in `ms` of real time.
    u32 FramesIn(int ms) {
        const auto frames = [&] { return Held([&] { return window->machine().frame_count; }); };
        const u32 before = frames();
        QTest::qWait(ms);
        return frames() - before;
    }
    // Triggers the menu item with this text, wherever it is, with `file` as the dialog's answer.
    void Trigger(const char* text, const std::string& file = {}) {
        chosen = file;
        for (QAction* action : window->findChildren<QAction*>()) {
            if (action->text() == text) return action->trigger();
        }
        ADD_FAILURE() << "no item " << text;
    }
    // The machine's state as a state file holds it.
    std::string MachineBytes() {
        const std::vector<u8> bytes = Held([&] { return StateFileImage(window->machine()); });
        return std::string(bytes.begin(), bytes.end());
    }
    // "Options...", with `drive` playing the user in the dialog.
    void Options(const std::function<void(TOptionsDlg1&)>& drive) {
        window->exec_dialog = [&](QDialog& dialog) {
            drive(dynamic_cast<TOptionsDlg1&>(dialog));
            return dialog.result();
        };
        window->Options1Click();
    }
    QColor Background() { return window->screen().grab().toImage().pixelColor(2, 2); }

    std::unique_ptr<TMainWnd> window;
    std::vector<std::string> errors;
    std::string chosen;  // what the file dialogs answer; empty: cancelled
};

// The title names the open ROM's file (the end-to-end run finds the window by it). Right after a
// ROM opens the status still reads "Stopped". Then fast-forward and rewind; the pause shows its
// check mark and survives opening another. A bad opcode is reported once.
TEST_F(WindowTest, TitleStatusFastForwardRewindAndPause) {
    const std::string game = WriteRom("game.gb"), other = WriteRom("other.bin");
    window->OpenRomPath(game);
    EXPECT_EQ(window->status_text().toStdString(), "Stopped");
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->worker().running.load(); }, 3000));
    EXPECT_EQ(Status().rfind("Running... - Speed = ", 0), 0u) << Status();
    // Tab fast-forwards while held; the rewind key steps back a quarter second at a time.
    const u32 normal = FramesIn(500);
    QTest::keyPress(window.get(), Qt::Key_Tab);
    EXPECT_GT(FramesIn(500), normal * 3 / 2);
    QTest::keyRelease(window.get(), Qt::Key_Tab);
    EXPECT_LT(FramesIn(500), 40u);
    ASSERT_TRUE(WaitForMachine([&] { return window->hotkeys().ring().size() >= 12; }));

    const auto counter = [&] { return Held([&] { return window->machine().memory.wram[0]; }); };
    const int before = counter();
    QTest::keyPress(window.get(), Qt::Key_QuoteLeft);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->hotkeys().rewind_steps() >= 8; }, 3000));
    const int steps = window->hotkeys().rewind_steps();
    const int rewound = counter();
    QTest::keyRelease(window.get(), Qt::Key_QuoteLeft);
    // Each step is a quarter second, 14.9 frames; the first goes back to the newest snapshot,
    // at most a quarter second old: between steps - 1 and steps of them, give or take a frame.
    EXPECT_NEAR((before - rewound + 0x100) & 0xFF, (steps - 0.5) * 14.9 + 2, 11.5) << steps;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->hotkeys().rewinding(); }, 1000));
    EXPECT_TRUE(WaitForMachine([&] { return window->machine().memory.wram[0] != rewound; }));

    window->Pause1Click();
    EXPECT_TRUE(window->pause_action()->isChecked());
    EXPECT_EQ(Status(), "Stopped (Paused)");
    window->OpenRomPath(other);
    EXPECT_EQ(window->windowTitle().toStdString(), "KIVO - other.bin");
    QTest::qWait(100);
    EXPECT_FALSE(window->worker().running);
    window->pause_action()->trigger();  // F5's action
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->worker().running.load(); }, 3000));

    window->CloseROM1Click();
    EXPECT_EQ(window->windowTitle().toStdString(), "KIVO");
    EXPECT_FALSE(window->machine().rom_open);

    std::vector<u8> bad = test::MakeRom();
    bad[0x100] = 0xDD;
    WriteText("bad.gb", std::string(bad.begin(), bad.end()));
    window->OpenRomPath(Path("bad.gb"));
    // Read as the window's timer reads it, while the worker runs.
    u8& flag = window->machine().state.BadOpCode;
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::atomic_ref<u8>(flag).load() != 0; }, 3000));
    for (int tick = 0; tick < 3; ++tick) window->Timer1Timer();
    EXPECT_EQ(errors, std::vector<std::string>{"Bad Opcode"});
}

// "x.sav" and "x" both save x.kivostate; an existing file is replaced only when the user agrees,
// and the question names the file really written. A rejected state changes nothing shown.
TEST_F(WindowTest, SavesQuickSlotsAndScreenshots) {
    std::vector<std::string> prompts;
    window->confirm_overwrite = [&](const QString& name) {
        prompts.push_back(name.toStdString());
        return false;
    };
    // A copy of the demo cartridge after a few frames, held with the user's pause.
    fs::copy_file(KIVO_DEMO_ROM, Path("demo.gb"));
    window->OpenRomPath(Path("demo.gb"));
    ASSERT_TRUE(WaitForMachine([&] { return window->machine().frame_count > 20; }));
    window->Pause1Click();
    Trigger("Save State...", Path("x.sav"));
    const std::string saved = MachineBytes();
    EXPECT_EQ(ReadText("x.kivostate"), saved);
    window->machine().memory.wram[5] ^= 1;
    Trigger("Save State...", Path("x"));
    EXPECT_EQ(prompts, std::vector<std::string>{"x.kivostate"});
    EXPECT_EQ(ReadText("x.kivostate"), saved);

    const std::string before = MachineBytes();
    const QImage picture = window->screen().shown_picture();
    WriteText("short.kivostate", std::string(kStateFileBytes - 1, 'x'));
    Trigger("Open State...", Path("short.kivostate"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(Path("short.kivostate") + ": ", 0), 0u) << errors[0];
    EXPECT_EQ(MachineBytes(), before);
    EXPECT_EQ(window->screen().shown_picture(), picture);

    // The quick slots and the screenshot by their keys, unless a button binding takes the key.
    QTest::keyClick(window.get(), Qt::Key_F4);
    EXPECT_EQ(Status(), "No state in slot 4");
    QTest::keyClick(window.get(), Qt::Key_F2, Qt::ShiftModifier);
    EXPECT_EQ(Status(), "State 2 saved");
    const std::string saved_in_slot = MachineBytes();  // with the keys' joypad interrupt
    window->machine().memory.wram[5] ^= 1;
    QTest::keyClick(window.get(), Qt::Key_F2);
    EXPECT_EQ(Status(), "State 2 loaded");
    EXPECT_EQ(MachineBytes(), saved_in_slot);

    QTest::keyClick(window.get(), Qt::Key_F12);
    const std::string shot = window->hotkeys().last_screenshot();
    EXPECT_EQ(Status(), "Screenshot " + fs::path(shot).filename().string());
    EXPECT_EQ(QImage(QString::fromStdString(shot)).convertToFormat(QImage::Format_RGB32),
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

// Drops in a row while the worker runs. The battery cartridge counts its starts in the first
// byte of its RAM, so each drop of it starts it once more from its saved RAM; every drop that
// replaces it (a text file, a folder, another cartridge) leaves its count in save.kivoxram. Only
// the first file of a drop of several opens; every drop but a cartridge's is reported once.
TEST_F(WindowTest, DropsInARowKeepEveryBatterySave) {
    const std::string battery = WriteRom("save.gb", {.banks = 2, .type = 0x03});
    const std::string plain = WriteRom("plain.gb");
    WriteText("notes.txt", std::string(0x200, 'x'));  // opens, but names no cartridge
    WriteText("short.txt", "not a cartridge");        // too short to open
    fs::create_directory(dir_ / "folder.gb");
    const std::vector<std::string> firsts = {battery,           Path("notes.txt"), battery,
                                             Path("folder.gb"), battery,           plain,
                                             battery,           Path("short.txt"), dir_.string()};
    int starts = 0;
    for (std::size_t drop = 0; drop < 2 * firsts.size(); ++drop) {
        const std::string& first = firsts[drop % firsts.size()];
        const std::size_t errors_before = errors.size();
        window->DropFiles({QUrl::fromLocalFile(QString::fromStdString(first)),
                           QUrl::fromLocalFile(QString::fromStdString(battery))});
        if (first == battery) {
            ++starts;
            ASSERT_TRUE(WaitForMachine([&] { return window->machine().memory.xram[0] == starts; }))
                << "drop " << drop;
        } else {
            EXPECT_EQ(static_cast<u8>(ReadText("save.kivoxram")[0]), starts) << "drop " << drop;
        }
        EXPECT_EQ(errors.size() - errors_before, first == battery || first == plain ? 0u : 1u)
            << "drop " << drop;
        QTest::qWait(1);  // the worker runs whatever is open for a moment
    }
    window->CloseROM1Click();
    EXPECT_EQ(static_cast<u8>(ReadText("save.kivoxram")[0]), starts);
}

// Every option but the key bindings is set through its control to a value other than its
// default; OK stores them all and applies them, the next opening shows them, and they come back
// from the INI file written at quit. An INI file that cannot be written is reported.
TEST_F(WindowTest, EveryOptionRoundTripsThroughItsControlAndTheIniFile) {
    const std::map<std::string, u32> combos = {{"system_type", 0},
                                               {"system_force_cgbmode", 2},
                                               {"system_thread_priority", 4},
                                               {"system_speed_restriction", 2},
                                               {"screen_size", 3},
                                               {"screen_filter", 1}};
    std::map<std::string, u32> wanted = combos;
    wanted["Screen_refresh_ratio_index"] = 7;
    wanted["screen_ClientColor"] = 0x563412;
    for (const OptionDef& option : kivo::Options()) {
        if (std::string(option.key).rfind("JoyPad_Keys_", 0) == 0) continue;
        if (!wanted.count(option.key)) wanted[option.key] = option.default_value == 0;
        ASSERT_NE(option.default_value, wanted.at(option.key)) << option.key;
    }
    Options([&](TOptionsDlg1& options) {
        options.choose_color = [](const QColor& initial) {
            EXPECT_EQ(initial, QColor(0, 0, 255));  // preset to the current colour
            return QColor(0x12, 0x34, 0x56);
        };
        for (const auto& [key, value] : wanted) {
            if (key == "Screen_refresh_ratio_index") {
                options.frame_rate()->setValue(static_cast<int>(value));
            } else if (key == "screen_ClientColor") {
                options.choose_button()->click();
            } else if (combos.count(key)) {
                options.combo(key)->setCurrentIndex(static_cast<int>(value));
            } else {
                options.check(key)->setChecked(value != 0);
            }
        }
        options.ok_button()->click();
    });
    // Applied on close: the colour, the frame ratio and the priority.
    window->show();
    EXPECT_EQ(Background(), QColor(0x12, 0x34, 0x56));
    EXPECT_EQ(window->machine().frame_skip_period, 7);
    EXPECT_EQ(window->worker().requested_priority(), 4u);
    // The next opening shows them: OK without a change keeps every one.
    Options([&](TOptionsDlg1& options) { options.ok_button()->click(); });
    window.reset();
    Start(Path("kivo.INI"));
    for (const OptionDef& option : kivo::Options()) {
        if (wanted.count(option.key)) {
            EXPECT_EQ(option.get(window->machine()), wanted.at(option.key)) << option.key;
        }
    }
    EXPECT_TRUE(errors.empty());

    WriteText("not-a-folder", "x");
    Start(Path("not-a-folder/kivo.INI"));
    window.reset();
    EXPECT_EQ(errors, std::vector<std::string>{"Impossible d'écrire dans " +
                                               Path("not-a-folder/kivo.INI")});
}

// "Change..." binds the captured key to the selected line AND 7, Start with no selection; any
// key is captured, Escape, Enter and lone modifiers included, and the capture dialog closes on
// nothing else; the list shows it at once. Out-of-range values show no selection, and a held
// Escape or Enter repeating (as when binding them) does not close the dialog. Cancel (Escape)
// keeps the bindings so made and every other option, but the colour, frame ratio, presenter
// rectangle and priority (the nearest level) are applied again from the unchanged options.
TEST_F(WindowTest, ChangeBindsTheSelectedLineAndCancelKeepsAndReappliesTheRest) {
    TGBSYSF& gb = window->machine();
    window->show();
    gb.screen_ClientColor = 0x00FF00;  // changed behind the window's back
    gb.Screen_refresh_ratio_index = 3;
    gb.system_thread_priority = 9;
    gb.screen_size = 7;
    gb.dest_rect_dirty = false;
    const struct {
        int row;  // -1: nothing selected
        Qt::Key key;
        int index;
        u32 code;
        const char* line;
    } cases[] = {
        {-1, Qt::Key_Escape, 7, 0x1B, "Start : ESCAPE"},
        {2, Qt::Key_A, 2, 0x41, "Up : A"},
        {4, Qt::Key_Alt, 4, 0x12, "Button A : MENU"},
        {0, Qt::Key_Return, 0, 0x0D, "Right : RETURN"},
    };
    Options([&](TOptionsDlg1& options) {
        EXPECT_EQ(options.combo("screen_size")->currentIndex(), -1);
        EXPECT_EQ(options.combo("system_thread_priority")->currentIndex(), -1);
        for (const auto& c : cases) {
            options.key_list()->clearSelection();
            if (c.row >= 0) options.key_list()->item(c.row)->setSelected(true);
            options.exec_key_wnd = [&](TKeyWnd& capture) {
                capture.show();
                EXPECT_FALSE(capture.close()) << "closes only on a key";
                QTest::keyClick(&capture, c.key);
                EXPECT_FALSE(capture.isVisible());
                return capture.result();
            };
            options.change_button()->click();
            EXPECT_EQ(options.key_list()->item(c.index)->text().toStdString(), c.line);
        }
        options.check("sound_enable")->setChecked(false);
        options.combo("screen_size")->setCurrentIndex(4);
        options.choose_color = [](const QColor&) { return QColor(255, 0, 0); };
        options.choose_button()->click();
        options.show();
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
            QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QString(), /*autorep=*/true);
            QApplication::sendEvent(&options, &repeat);
            EXPECT_TRUE(options.isVisible()) << key;
        }
        QTest::keyClick(&options, Qt::Key_Escape);
    });
    for (const auto& c : cases) EXPECT_EQ(gb.JoyPad_Keys[c.index], c.code) << c.line;
    EXPECT_EQ(gb.sound_enable, true);
    EXPECT_EQ(gb.screen_size.load(), 7u);
    EXPECT_EQ(gb.screen_ClientColor, 0x00FF00u);
    EXPECT_EQ(Background(), QColor(0, 255, 0));
    EXPECT_EQ(gb.frame_skip_period, 3);
    EXPECT_TRUE(gb.dest_rect_dirty);
    EXPECT_EQ(window->worker().requested_priority(), 4u);
}

}  // namespace
}  // namespace kivo
