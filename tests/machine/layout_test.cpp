// The arena and state block are file formats; their sizes are asserted at compile time in
// layout.h. These tests check what a reader of a state file relies on at run time.
#include <gtest/gtest.h>

#include <cstring>

#include "machine/gbsys.h"

namespace kivo {
namespace {

TEST(Layout, RegisterPairsStoreTheSecondRegisterInTheLowByte) {
    GbState st{};
    st.AF = 0x11B0;
    st.HL = 0xC0DE;
    const auto* bytes = reinterpret_cast<const u8*>(&st);
    EXPECT_EQ(bytes[0], 0xB0);  // F
    EXPECT_EQ(bytes[1], 0x11);  // A
    EXPECT_EQ(bytes[6], 0xDE);  // L
    EXPECT_EQ(bytes[7], 0xC0);  // H
}

}  // namespace
}  // namespace kivo
