// The main window's title and status texts, and where the INI file is kept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"
#include "ui/ini_location.h"
#include "ui/window_texts.h"

namespace kivo {
namespace {

TEST(WindowTextsTest, TitleNamesTheOpenRomFile) {
    EXPECT_EQ(WindowTitle(false, "/games/tetris.gb"), "KIVO");
    EXPECT_EQ(WindowTitle(true, "/games/tetris.gb"), "KIVO - tetris.gb");
    EXPECT_EQ(WindowTitle(true, "relative/Pokémon Rouge.GBC"), "KIVO - Pokémon Rouge.GBC");
    EXPECT_EQ(WindowTitle(true, "noext"), "KIVO - noext");
}

TEST(WindowTextsTest, StatusReportsRunningWithItsFiguresOrStoppedAndPaused) {
    EXPECT_EQ(StatusText({true, false, 100, 60}),
              "Running... - Speed = 100% - Refresh Rate = 60 Hz ");
    EXPECT_EQ(StatusText({true, false, 4294967295u, 0}),
              "Running... - Speed = 4294967295% - Refresh Rate = 0 Hz ");
    EXPECT_EQ(StatusText({false, false, 100, 60}), "Stopped");
    EXPECT_EQ(StatusText({false, true, 100, 60}), "Stopped (Paused)");
}

class IniLocationTest : public test::TempDirTest {};

// Beside the executable when that file exists or the folder is writable; otherwise in the
// user's configuration folder.
TEST_F(IniLocationTest, BesideTheExecutableWhenPossibleElseTheXdgFolder) {
    EXPECT_EQ(ChooseIniPath(Path("kivo"), "/cfg", "/home/u"), Path("kivo.INI"));
    EXPECT_EQ(ChooseIniPath(Path("kivo.bin"), "/cfg", "/home/u"), Path("kivo.INI"));

    const std::string installed = "/nonexistent-kivo-folder/bin/kivo";
    EXPECT_EQ(ChooseIniPath(installed, "/cfg", "/home/u"), "/cfg/kivo/kivo.INI");
    EXPECT_EQ(ChooseIniPath(installed, nullptr, "/home/u"), "/home/u/.config/kivo/kivo.INI");
    EXPECT_EQ(ChooseIniPath(installed, "", "/home/u"), "/home/u/.config/kivo/kivo.INI");
    // A relative XDG_CONFIG_HOME is to be ignored.
    EXPECT_EQ(ChooseIniPath(installed, "cfg", "/home/u"), "/home/u/.config/kivo/kivo.INI");

    // The first write creates the folder.
    const std::string xdg = Path("config/kivo/kivo.INI");
    std::string error;
    ASSERT_TRUE(EnsureIniFolder(xdg, &error)) << error;
    EXPECT_TRUE(std::filesystem::is_directory(dir_ / "config" / "kivo"));
    WriteText("file", "x");
    EXPECT_FALSE(EnsureIniFolder(Path("file/kivo/kivo.INI"), &error));
    EXPECT_NE(error.find(Path("file/kivo")), std::string::npos) << error;
}

}  // namespace
}  // namespace kivo
