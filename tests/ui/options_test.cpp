// The options' INI file: the conversion rules of the original's integer reader and the Windows
// profile rules for finding and rewriting keys, so that files move between the two programs.
#include "ui/options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kivo {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() /
            ("kivo_options_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "kivo.INI").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteIni(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string ReadIni() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir_;
    std::string path_;
};

i32 Parse(const std::string& text, i32 fallback = -12345) {
    i32 value = fallback;
    return ParseIniInteger(text, &value) ? value : fallback;
}

TEST(IniInteger, HexPrefixesAndDecimalFollowTheOriginalReader) {
    EXPECT_EQ(Parse("0x10"), 16);
    EXPECT_EQ(Parse("0X1f"), 31);
    EXPECT_EQ(Parse("$10"), 16);
    EXPECT_EQ(Parse("$FFFFFFFF"), -1);
    EXPECT_EQ(Parse("$80000000"), INT32_MIN);
    EXPECT_EQ(Parse("010"), 10);  // leading zero is not octal
    EXPECT_EQ(Parse("-2147483648"), INT32_MIN);
    EXPECT_EQ(Parse("2147483647"), INT32_MAX);
    EXPECT_EQ(Parse("+7"), 7);
}

TEST(IniInteger, TextsThatDoNotConvertFail) {
    for (const char* text :
         {"", "abc", "12abc", "1 2", "2147483648", "-2147483649", "99999999999999999999", "$", "0x",
          "$123456789", "$12G", "-", "$-1", "0x-1", "1.5"}) {
        EXPECT_EQ(Parse(text), -12345) << '"' << text << '"';
    }
}

TEST_F(IniFileTest, MissingFileGivesEveryDefault) {
    TGBSYSF gb;
    for (const OptionDef& option : Options()) option.set(gb, option.default_value ^ 3);
    INIRead(gb, (dir_ / "absent.INI").string());
    for (const OptionDef& option : Options()) {
        EXPECT_EQ(option.get(gb), option.default_value) << option.key;
    }
    EXPECT_EQ(gb.screen_ClientColor, 0xFF0000u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(gb.JoyPad_Keys[i], Options()[19 + i].default_value);
}

TEST_F(IniFileTest, ValuesReadWithPrefixesQuotesBlanksAndAnyCase) {
    WriteIni(
        "[Other]\r\nscreen_size=4\r\n"
        "[options]\r\n"
        "  SCREEN_FILTER  =  0x10  \r\n"
        "screen_clientcolor=$FF\r\n"
        "Screen_refresh_ratio_index=\"25\"\r\n"
        "system_type='0'\r\n"
        "system_type=1\r\n"  // a later duplicate is ignored
        "JoyPad_Keys_3=$FFFFFFFF\r\n"
        "JoyPad_Keys_4=010\r\n"
        "sound_enable=0\r\n"
        "sound_select_CH2=-5\r\n"  // any non-zero value is true
        "system_force_cgbmode=letters\r\n"
        "system_thread_priority=\r\n"
        "[OPTIONS]\r\nscreen_layer_bg=0\r\n");  // only the first section counts
    TGBSYSF gb;
    gb.screen_size = 9;
    gb.system_force_cgbmode = 7;
    gb.system_thread_priority = 7;
    INIRead(gb, path_);
    EXPECT_EQ(gb.screen_size, 0u);  // from the default, not from [Other]
    EXPECT_EQ(gb.screen_filter, 16u);
    EXPECT_EQ(gb.screen_ClientColor, 0xFFu);
    EXPECT_EQ(gb.Screen_refresh_ratio_index, 25u);
    EXPECT_EQ(gb.system_type, 0u);
    EXPECT_EQ(gb.JoyPad_Keys[3], 0xFFFFFFFFu);
    EXPECT_EQ(gb.JoyPad_Keys[4], 10u);
    EXPECT_FALSE(gb.sound_enable);
    EXPECT_TRUE(gb.sound_select_CH2);
    EXPECT_EQ(gb.system_force_cgbmode, 0u);    // letters: default
    EXPECT_EQ(gb.system_thread_priority, 2u);  // empty: default
    EXPECT_TRUE(gb.screen_layer_bg);
}

TEST_F(IniFileTest, NewFileListsAllKeysInTableOrder) {
    TGBSYSF gb;
    INIRead(gb, path_);  // no file: defaults, and nothing is created
    EXPECT_FALSE(fs::exists(path_));
    std::string error;
    ASSERT_TRUE(INIWrite(gb, path_, &error)) << error;
    EXPECT_EQ(ReadIni(),
              "[OPTIONS]\n"
              "system_type=1\n"
              "system_force_cgbmode=0\n"
              "system_thread_priority=2\n"
              "system_pause_when_inactive_app=1\n"
              "system_show_performances=1\n"
              "system_speed_restriction=1\n"
              "sound_enable=1\n"
              "sound_select_CH1=1\n"
              "sound_select_CH2=1\n"
              "sound_select_CH3=1\n"
              "sound_select_CH4=1\n"
              "Screen_refresh_ratio_index=1\n"
              "screen_size=0\n"
              "screen_enable=1\n"
              "screen_layer_bg=1\n"
              "screen_layer_win=1\n"
              "screen_layer_sprites=1\n"
              "screen_filter=0\n"
              "screen_ClientColor=16711680\n"
              "JoyPad_Keys_0=39\n"
              "JoyPad_Keys_1=37\n"
              "JoyPad_Keys_2=38\n"
              "JoyPad_Keys_3=40\n"
              "JoyPad_Keys_4=87\n"
              "JoyPad_Keys_5=88\n"
              "JoyPad_Keys_6=8\n"
              "JoyPad_Keys_7=13\n");
}

TEST_F(IniFileTest, EveryValueSurvivesAWriteAndARead) {
    TGBSYSF out;
    out.system_type = 0;
    out.screen_size = 0xFFFFFFFF;  // written as -1, read back as the same 32 bits
    out.screen_ClientColor = 0x00123456;
    out.sound_select_CH3 = false;
    out.JoyPad_Keys[7] = 0x20;
    std::string error;
    ASSERT_TRUE(INIWrite(out, path_, &error)) << error;
    EXPECT_NE(ReadIni().find("screen_size=-1\n"), std::string::npos);
    TGBSYSF in;
    INIRead(in, path_);
    for (const OptionDef& option : Options()) {
        EXPECT_EQ(option.get(in), option.get(out)) << option.key;
    }
}

TEST_F(IniFileTest, WritingUpdatesLinesInPlaceAndKeepsEverythingElse) {
    WriteIni(
        "; my settings\r\n"
        "[Recent]\r\n"
        "file1=C:\\games\\tetris.gb\r\n"
        "\r\n"
        "[Options]\r\n"
        "  Screen_Size = 3\r\n"
        "unknown_key=hello\r\n"
        "system_type=0\r\n"
        "system_type=0\r\n"
        "\r\n"
        "[Later]\r\n"
        "x=1\r\n");
    TGBSYSF gb;
    INIRead(gb, path_);
    gb.screen_size = 2;
    gb.system_type = 1;
    std::string error;
    ASSERT_TRUE(INIWrite(gb, path_, &error)) << error;

    std::string expected =
        "; my settings\r\n"
        "[Recent]\r\n"
        "file1=C:\\games\\tetris.gb\r\n"
        "\r\n"
        "[Options]\r\n"
        "screen_size=2\r\n"
        "unknown_key=hello\r\n"
        "system_type=1\r\n"
        "system_type=0\r\n";
    for (const OptionDef& option : Options()) {
        const std::string key = option.key;
        if (key == "screen_size" || key == "system_type") continue;
        expected += key + "=" + std::to_string(static_cast<i32>(option.get(gb))) + "\r\n";
    }
    expected +=
        "\r\n"
        "[Later]\r\n"
        "x=1\r\n";
    EXPECT_EQ(ReadIni(), expected);
}

TEST_F(IniFileTest, MissingSectionIsAddedAfterTheOtherLines) {
    WriteIni("[Recent]\nfile1=a.gb");  // no final line ending
    TGBSYSF gb;
    std::string error;
    ASSERT_TRUE(INIWrite(gb, path_, &error)) << error;
    const std::string text = ReadIni();
    EXPECT_EQ(text.rfind("[Recent]\nfile1=a.gb\n\n[OPTIONS]\nsystem_type=1\n", 0), 0u) << text;
    const std::string tail = "JoyPad_Keys_7=13\n";
    EXPECT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0) << text;
    TGBSYSF back;
    back.system_type = 0;
    INIRead(back, path_);
    EXPECT_EQ(back.system_type, 1u);
}

TEST_F(IniFileTest, FailedWriteReportsThePathAndKeepsTheOldFile) {
    TGBSYSF gb;
    std::string error;
    const std::string missing = (dir_ / "no_such_folder" / "kivo.INI").string();
    EXPECT_FALSE(INIWrite(gb, missing, &error));
    EXPECT_EQ(error, "Impossible d'écrire dans " + missing);

    // A folder where the file should be: nothing is replaced.
    fs::create_directories(dir_ / "taken.INI");
    const std::string taken = (dir_ / "taken.INI").string();
    EXPECT_FALSE(INIWrite(gb, taken, &error));
    EXPECT_EQ(error, "Impossible d'écrire dans " + taken);
    EXPECT_TRUE(fs::is_directory(taken));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST(IniPath, ExecutableExtensionIsReplaced) {
    EXPECT_EQ(IniPathForExecutable("/opt/kivo/bin/kivo"), "/opt/kivo/bin/kivo.INI");
    EXPECT_EQ(IniPathForExecutable("/games/kivo.exe"), "/games/kivo.INI");
    EXPECT_EQ(IniPathForExecutable("/games/.kivo"), "/games/.kivo.INI");
}

}  // namespace
}  // namespace kivo
