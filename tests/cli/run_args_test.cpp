// Parsing of kivo-run's command line and of its --input scripts; the runner's tests check the
// usage errors and their reasons on the real binary.
#include "cli/run_args.h"

#include <gtest/gtest.h>

#include <tuple>

#include "cli/input_script.h"
#include "machine/gbsys.h"

namespace kivo::cli {
namespace {

TEST(RunArgs, ValuesLandInTheirFieldsWithHexAddressesAndDecimalCounts) {
    RunArgs a;
    std::string error;
    ASSERT_TRUE(ParseRunArgs({"--disasm", "0XfFfF:5", "--", "-odd.gb"}, &a, &error)) << error;
    ASSERT_TRUE(a.disasm);
    EXPECT_EQ(a.disasm->address, 0xFFFF);
    EXPECT_EQ(a.disasm->count, 5);
    EXPECT_EQ(a.rom, "-odd.gb");  // "--" ends the options: a ROM whose name starts with a dash
    AddressRange r;
    EXPECT_TRUE(ParseAddressRange("7:65536", &r));
    for (const char* bad : {"", ":3", "0x:3", "12345:1", "10:-1", "10:65537", "g0:1", "10",
                            "10:", "10:0x2", " 10:1"}) {
        EXPECT_FALSE(ParseAddressRange(bad, &r)) << bad;
    }
    std::uint32_t n = 0;
    EXPECT_TRUE(ParseCount("4294967295", &n));
    EXPECT_EQ(n, 4294967295u);
    for (const char* bad : {"", "4294967296", "-1", "+1", "1e3", "0x10", "99999999999"}) {
        EXPECT_FALSE(ParseCount(bad, &n)) << bad;
    }
}

TEST(InputScript, EventsSortByFrameKeepingFileOrderAndBadLinesAreNamed) {
    std::vector<InputEvent> events;
    std::string error;
    ASSERT_TRUE(ParseInputScript("# keys\r\n5 a down\r\n\n2 LEFT up\n5 a up\n  0 start down\n",
                                 &events, &error))
        << error;
    ASSERT_EQ(events.size(), 4u);
    const std::tuple<u32, int, bool> expected[] = {
        {0, KEY_START, true}, {2, KEY_LEFT, false}, {5, KEY_A, true}, {5, KEY_A, false}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(std::tuple(events[i].frame, events[i].button, events[i].down), expected[i]) << i;
    }
    const std::pair<const char*, const char*> bad[] = {
        {"1 a down\n1 jump down\n", "line 2: unknown button"},
        {"x a down\n", "line 1: bad frame"},
        {"1 a sideways\n", "line 1: expected down or up"},
        // A line ending in CR LF is quoted without its CR.
        {"1 a\r\n", "line 1: expected 'FRAME BUTTON down|up', got '1 a'"}};
    for (const auto& [text, reason] : bad) {
        EXPECT_FALSE(ParseInputScript(text, &events, &error)) << text;
        EXPECT_EQ(error.rfind(reason, 0), 0u) << text << " -> " << error;
    }
}

}  // namespace
}  // namespace kivo::cli
