// The options' INI file: the integer conversion rules of its values and the Windows profile rules
// for finding and rewriting keys, so that files move between Windows and Linux unchanged.
#include "ui/options.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "ui/ini_location.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

TEST(IniInteger, HexPrefixesAndSigned32BitDecimalConvert) {
    // "010" is ten: a leading zero is not octal.
    // clang-format off
    const std::pair<const char*, i32> converted[] = {
        {"0x10", 16}, {"0X1f", 31}, {"$10", 16}, {"$FFFFFFFF", -1}, {"$80000000", INT32_MIN},
        {"010", 10}, {"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"+7", 7}};
    // clang-format on
    for (const auto& [text, expected] : converted) {
        i32 value = 0;
        EXPECT_TRUE(ParseIniInteger(text, &value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
    for (const char* text :
         {"", "abc", "12abc", "1 2", "2147483648", "-2147483649", "99999999999999999999", "$", "0x",
          "$123456789", "$12G", "-", "$-1", "0x-1", "1.5"}) {
        i32 value = 0;
        EXPECT_FALSE(ParseIniInteger(text, &value)) << '"' << text << '"';
    }
}

class IniFileTest : public test::TempDirTest {
  protected:
    void WriteIni(const std::string& text) { WriteText("kivo.INI", text); }
    std::string Ini() const { return Path("kivo.INI"); }

    std::string error_;
};

TEST_F(IniFileTest, ValuesReadWithPrefixesQuotesBlanksAndAnyCase) {
    // Only the first [OPTIONS] section counts, in any case, and the first of duplicate keys; blanks
    // are spaces and tabs. Keys absent, empty or in letters take their default; any non-zero value
    // is true.
    WriteIni(
        "[Other]\r\nscreen_size=4\r\n[options]\r\n \tSCREEN_FILTER\t =\t 0x10  \r\n"
        "screen_clientcolor=$10\r\nScreen_refresh_ratio_index=\"25\"\r\nsystem_type='0'\r\n"
        "system_type=1\r\nJoyPad_Keys_3=$FFFFFFFF\r\nJoyPad_Keys_4=010\r\nsound_enable=0\r\n"
        "sound_select_CH2=-5\r\nsystem_force_cgbmode=letters\r\nsystem_thread_priority=\r\n"
        "[OPTIONS]\r\nscreen_layer_bg=0\r\n");
    TGBSYSF gb;
    gb.screen_size = gb.system_force_cgbmode = gb.system_thread_priority = 7;
    gb.screen_layer_bg = false;
    INIRead(gb, Ini());
    const std::vector<u32> read = {gb.screen_size,
                                   gb.screen_filter,
                                   gb.screen_ClientColor,
                                   gb.Screen_refresh_ratio_index,
                                   gb.system_type,
                                   gb.JoyPad_Keys[3],
                                   gb.JoyPad_Keys[4],
                                   gb.sound_enable,
                                   gb.sound_select_CH2,
                                   gb.system_force_cgbmode,
                                   gb.system_thread_priority,
                                   gb.screen_layer_bg};
    EXPECT_EQ(read, (std::vector<u32>{0, 16, 16, 25, 0, 0xFFFFFFFF, 10, 0, 1, 0, 2, 1}));
}

// A new machine starts with the values the table falls back on, each table entry reaches a member
// of its own, a missing file gives the defaults, and every value written reads back.
TEST_F(IniFileTest, DefaultsAgreeAndEveryValueReadsBack) {
    for (const OptionDef& changed : Options()) {
        GbOptions options;
        changed.set(options, changed.default_value ^ 1);  // flips a bool, changes any number
        for (const OptionDef& option : Options()) {
            EXPECT_EQ(option.get(options) != option.default_value, &option == &changed)
                << changed.key << " changed " << option.key;
        }
    }
    TGBSYSF out;
    for (const OptionDef& option : Options()) option.set(out, option.default_value ^ 3);
    INIRead(out, Ini());
    EXPECT_FALSE(fs::exists(Ini()));
    for (const OptionDef& option : Options()) EXPECT_EQ(option.get(out), option.default_value);
    out.screen_size = 0xFFFFFFFF;  // written as -1, read back as the same 32 bits
    out.sound_select_CH3 = false;
    out.JoyPad_Keys[7] = 0x20;
    ASSERT_TRUE(INIWrite(out, Ini(), &error_)) << error_;
    EXPECT_NE(ReadText("kivo.INI").find("screen_size=-1\n"), std::string::npos);
    TGBSYSF in;
    INIRead(in, Ini());
    for (const OptionDef& option : Options())
        EXPECT_EQ(option.get(in), option.get(out)) << option.key;
}

TEST_F(IniFileTest, WritingUpdatesLinesInPlaceAndKeepsEverythingElse) {
    const std::string before = "; my settings\r\n[Recent]\r\nfile1=C:\\games\\tetris.gb\r\n\r\n";
    const std::string after = "\r\n[Later]\r\nx=1\r\n";
    WriteIni(before + "[Options]\r\n  Screen_Size = 3\r\nunknown_key=hello\r\nsystem_type=0\r\n" +
             "system_type=0\r\n" + after);
    TGBSYSF gb;
    INIRead(gb, Ini());
    gb.screen_size = 2;
    gb.system_type = 1;
    ASSERT_TRUE(INIWrite(gb, Ini(), &error_)) << error_;
    // Keys found are rewritten where they stand; the others follow the section's last line.
    std::string expected = before +
                           "[Options]\r\nscreen_size=2\r\nunknown_key=hello\r\nsystem_type=1\r\n"
                           "system_type=0\r\n";
    for (const OptionDef& option : Options()) {
        const std::string key = option.key;
        if (key == "screen_size" || key == "system_type") continue;
        expected += key + "=" + std::to_string(static_cast<i32>(option.get(gb))) + "\r\n";
    }
    EXPECT_EQ(ReadText("kivo.INI"), expected + after);
}

// Beside the executable when that file exists or the folder is writable; otherwise in the
// user's configuration folder, of which a relative XDG_CONFIG_HOME is none.
TEST_F(IniFileTest, BesideTheExecutableWhenPossibleElseTheXdgFolder) {
    EXPECT_EQ(ChooseIniPath(Path("kivo.bin"), "/cfg", "/home/u"), Path("kivo.INI"));
    const std::string installed = "/nonexistent-kivo-folder/bin/kivo";
    EXPECT_EQ(ChooseIniPath(installed, "/cfg", "/home/u"), "/cfg/kivo/kivo.INI");
    EXPECT_EQ(ChooseIniPath(installed, nullptr, "/home/u"), "/home/u/.config/kivo/kivo.INI");
    EXPECT_EQ(ChooseIniPath(installed, "cfg", "/home/u"), "/home/u/.config/kivo/kivo.INI");

    // The first write creates the folder.
    ASSERT_TRUE(EnsureIniFolder(Path("config/kivo/kivo.INI"), &error_)) << error_;
    EXPECT_TRUE(fs::is_directory(dir_ / "config" / "kivo"));
}

}  // namespace
}  // namespace kivo
