// The main window as a user drives it: its menus, title and status bar, the commands around the
// worker's pause, dropped files, bad files, the keyboard and the INI file at start and at quit.
// The window runs on the offscreen platform with its real worker thread and no sound device.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QUrl>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/screen_view.h"
#include "app/window_fixture.h"
#include "asm/gbasm.h"
#include "support/rom_builder.h"
#include "support/temp_dir.h"
#include "ui/options.h"

namespace kivo {
namespace {

// Every menu, item, separator ("-") and shortcut, in order; submenus indented.
std::string MenuText(const QList<QAction*>& actions, const std::string& indent = "") {
    std::string text;
    for (const QAction* action : actions) {
        if (action->isSeparator()) {
            text += indent + "-\n";
            continue;
        }
        text += indent + action->text().toStdString();
        if (!action->shortcut().isEmpty())
            text += " [" + action->shortcut().toString().toStdString() + "]";
        text += "\n";
        if (action->menu()) text += MenuText(action->menu()->actions(), indent + "  ");
    }
    return text;
}

TEST_F(MainWindowTest, MenusHaveTheirCaptionsShortcutsAndOrder) {
    EXPECT_EQ(MenuText(window->menuBar()->actions()),
              "File\n"
              "  Open ROM...\n"
              "  Close ROM\n"
              "  -\n"
              "  Open State...\n"
              "  Save State...\n"
              "  -\n"
              "  Open RAM\n"
              "    Open XRAM...\n"
              "    Open VRAM...\n"
              "    Open WRAM...\n"
              "  Save RAM\n"
              "    Save XRAM...\n"
              "    Save VRAM...\n"
              "    Save WRAM...\n"
              "  -\n"
              "  Quit\n"
              "System\n"
              "  Reset\n"
              "  Pause [F5]\n"
              "  Debug... [F6]\n"
              "  -\n"
              "  Clear RAM\n"
              "    Clear All RAM\n"
              "    Clear VRAM\n"
              "    Clear WRAM\n"
              "    Clear XRAM\n"
              "  Hard Reset\n"
              "Tools\n"
              "  Options... [F7]\n"
              "  Cartridge Info... [F8]\n"
              "?\n"
              "  About...\n");
}

// With no INI file every option has its default: a blue window, "Stopped". Quitting writes the
// INI file with all 27 keys, and the next start reads them back.
TEST_F(MainWindowTest, StartWithoutIniGivesDefaultsAndQuitWritesIt) {
    EXPECT_EQ(Title(), "KIVO");
    EXPECT_EQ(Status(), "Stopped");
    EXPECT_EQ(window->machine().screen_ClientColor, 0xFF0000u);
    window->show();
    const QImage shot = window->screen().grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 5), QColor(0, 0, 255));
    EXPECT_EQ(window->frameGeometry().topLeft(), QPoint(260, 131));
    EXPECT_EQ(window->frameGeometry().size(), QSize(527, 430));

    window->machine().screen_size = 3;
    window->close();
    window.reset();
    const std::string ini = ReadText("kivo.INI");
    EXPECT_NE(ini.find("[OPTIONS]"), std::string::npos);
    for (const OptionDef& option : Options()) {
        EXPECT_NE(ini.find(std::string(option.key) + "="), std::string::npos) << option.key;
    }
    Start(Path("kivo.INI"));
    EXPECT_EQ(window->machine().screen_size.load(), 3u);
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainWindowTest, AnUnwritableIniAtQuitIsReported) {
    WriteText("not-a-folder", "x");
    window.reset();
    Start(Path("not-a-folder/kivo.INI"));
    window.reset();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Impossible d'écrire dans " + Path("not-a-folder/kivo.INI"));
}

// The title names the open ROM's file; a drop opens only its first file, whatever its name.
TEST_F(MainWindowTest, TitleFollowsOpenCloseAndDrop) {
    const std::string game = WriteRom("game.gb");
    window->OpenRomPath(game);
    EXPECT_EQ(Title(), "KIVO - game.gb");
    EXPECT_TRUE(window->machine().rom_open);

    window->CloseROM1Click();
    EXPECT_EQ(Title(), "KIVO");
    EXPECT_FALSE(window->machine().rom_open);
    window->CloseROM1Click();  // nothing open: only the title and status again
    EXPECT_EQ(Title(), "KIVO");

    const std::string other = WriteRom("other.bin");
    Drop({other, game});
    EXPECT_EQ(Title(), "KIVO - other.bin");
    EXPECT_EQ(window->machine().rom_file_name, other);

    window->choose_rom_file = [&] { return QString::fromStdString(game); };
    window->OpenROM1Click();
    EXPECT_EQ(Title(), "KIVO - game.gb");
    window->choose_rom_file = [] { return QString(); };  // cancelled: nothing changes
    window->OpenROM1Click();
    EXPECT_EQ(Title(), "KIVO - game.gb");
    EXPECT_TRUE(errors.empty());
}

// Right after a ROM opens the status still reads "Stopped"; the worker then runs. The pause
// toggles, shows its check mark, survives opening another ROM, and a second toggle resumes.
TEST_F(MainWindowTest, StatusFollowsRunningAndTheUserPause) {
    window->OpenRomPath(WriteRom("game.gb"));
    EXPECT_EQ(window->status_text().toStdString(), "Stopped");
    ASSERT_TRUE(WaitForRunning(true));
    EXPECT_EQ(Status().rfind("Running... - Speed = ", 0), 0u) << Status();
    EXPECT_NE(Status().find("% - Refresh Rate = "), std::string::npos);
    EXPECT_EQ(Status().back(), ' ');

    window->Pause1Click();
    EXPECT_TRUE(window->pause_action()->isChecked());
    EXPECT_FALSE(window->worker().running);
    EXPECT_EQ(Status(), "Stopped (Paused)");

    window->OpenRomPath(WriteRom("other.gb"));
    QTest::qWait(150);
    EXPECT_FALSE(window->worker().running);
    EXPECT_EQ(Status(), "Stopped (Paused)");

    window->pause_action()->trigger();  // F5's action
    EXPECT_FALSE(window->pause_action()->isChecked());
    EXPECT_TRUE(WaitForRunning(true));
}

// Each bad file gives one error box and leaves the window usable, titled "KIVO" when no ROM
// stays open. A file that opens but names no known cartridge stays open with "Unknown Cartridge".
TEST_F(MainWindowTest, BadRomFilesGiveOneBoxEach) {
    WriteText("empty.gb", "");
    std::filesystem::create_directory(dir_ / "folder.gb");
    for (const std::string& bad : {Path("missing.gb"), Path("empty.gb"), Path("folder.gb")}) {
        errors.clear();
        window->OpenRomPath(bad);
        ASSERT_EQ(errors.size(), 1u) << bad;
        EXPECT_EQ(errors[0].rfind(bad + ": ", 0), 0u) << errors[0];
        EXPECT_EQ(Title(), "KIVO");
        EXPECT_FALSE(window->machine().rom_open);
    }

    errors.clear();
    std::string text(0x200, 'x');  // byte 0x147 'x' (0x78) names no controller
    WriteText("notes.txt", text);
    Drop({Path("notes.txt")});
    EXPECT_EQ(errors, std::vector<std::string>{"Unknown Cartridge"});
    EXPECT_EQ(Title(), "KIVO - notes.txt");
    EXPECT_TRUE(window->machine().rom_open);
}

TEST_F(MainWindowTest, BadOpcodeIsReportedOnce) {
    gbasm::Asm bad(0x0100);
    bad.db({0xDD});
    window->OpenRomPath(WriteRom("bad.gb", &bad));
    // Read as the window's timer reads it, while the worker runs.
    u8& flag = window->machine().state.BadOpCode;
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::atomic_ref<u8>(flag).load() != 0; }, 3000));
    for (int tick = 0; tick < 3; ++tick) window->Timer1Timer();
    EXPECT_EQ(errors, std::vector<std::string>{"Bad Opcode"});
}

// Bound keys press their buttons through the configured bindings; every press, bound or not,
// requests the joypad interrupt. Releases let the button go.
TEST_F(MainWindowTest, KeysPlayTheBoundButtonsAndEveryPressRequestsTheInterrupt) {
    GbState& s = window->machine().state;
    s.IF = 0;
    QTest::keyPress(window.get(), Qt::Key_W);  // Button A by default
    EXPECT_EQ(s.joy_btn & 0x01, 0);
    EXPECT_EQ(s.IF & 0x10, 0x10);
    QTest::keyRelease(window.get(), Qt::Key_W);
    EXPECT_EQ(s.joy_btn & 0x01, 0x01);

    s.IF = 0;
    QTest::keyPress(window.get(), Qt::Key_Q);  // bound to nothing
    EXPECT_EQ(s.IF & 0x10, 0x10);
    EXPECT_EQ(s.joy_btn & 0x0F, 0x0F);
    EXPECT_EQ(s.joy_dir & 0x0F, 0x0F);

    QTest::keyPress(window.get(), Qt::Key_Left);
    EXPECT_EQ(s.joy_dir & 0x02, 0);
    QTest::keyRelease(window.get(), Qt::Key_Left);
    EXPECT_EQ(s.joy_dir & 0x02, 0x02);
}

}  // namespace
}  // namespace kivo
