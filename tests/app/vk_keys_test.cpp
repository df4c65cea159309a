// Key events become the Windows virtual-key codes that INI files store. The expected codes are
// the published values of the VK_ constants.
#include "app/vk_keys.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

TEST(VirtualKeyCodeTest, KeysGiveTheirPublishedCodes) {
    struct Case {
        int key;
        Qt::KeyboardModifiers modifiers;
        std::uint32_t vk;
        const char* what;
    };
    const Qt::KeyboardModifiers none = Qt::NoModifier;
    const Qt::KeyboardModifiers keypad = Qt::KeypadModifier;
    const Case cases[] = {
        {Qt::Key_A, none, 0x41, "A"},
        {Qt::Key_W, none, 0x57, "W"},
        {Qt::Key_Z, Qt::ShiftModifier, 0x5A, "shifted Z"},
        {Qt::Key_0, none, 0x30, "0"},
        {Qt::Key_Exclam, Qt::ShiftModifier, 0x31, "! is the key 1"},
        {Qt::Key_ParenRight, Qt::ShiftModifier, 0x30, ") is the key 0"},
        {Qt::Key_F1, none, 0x70, "VK_F1"},
        {Qt::Key_F12, none, 0x7B, "VK_F12"},
        {Qt::Key_F24, none, 0x87, "VK_F24"},
        {Qt::Key_Left, none, 0x25, "VK_LEFT"},
        {Qt::Key_Up, none, 0x26, "VK_UP"},
        {Qt::Key_Right, none, 0x27, "VK_RIGHT"},
        {Qt::Key_Down, none, 0x28, "VK_DOWN"},
        {Qt::Key_Return, none, 0x0D, "VK_RETURN"},
        {Qt::Key_Enter, keypad, 0x0D, "keypad Enter is VK_RETURN"},
        {Qt::Key_Backspace, none, 0x08, "VK_BACK"},
        {Qt::Key_Tab, none, 0x09, "VK_TAB"},
        {Qt::Key_Escape, none, 0x1B, "VK_ESCAPE"},
        {Qt::Key_Space, none, 0x20, "VK_SPACE"},
        {Qt::Key_PageUp, none, 0x21, "VK_PRIOR"},
        {Qt::Key_PageDown, none, 0x22, "VK_NEXT"},
        {Qt::Key_Insert, none, 0x2D, "VK_INSERT"},
        {Qt::Key_Delete, none, 0x2E, "VK_DELETE"},
        {Qt::Key_Shift, Qt::ShiftModifier, 0x10, "VK_SHIFT, either side"},
        {Qt::Key_Control, Qt::ControlModifier, 0x11, "VK_CONTROL"},
        {Qt::Key_Alt, Qt::AltModifier, 0x12, "VK_MENU"},
        {Qt::Key_5, keypad, 0x65, "VK_NUMPAD5"},
        {Qt::Key_0, keypad, 0x60, "VK_NUMPAD0"},
        {Qt::Key_Asterisk, keypad, 0x6A, "VK_MULTIPLY"},
        {Qt::Key_Plus, keypad, 0x6B, "VK_ADD"},
        {Qt::Key_Minus, keypad, 0x6D, "VK_SUBTRACT"},
        {Qt::Key_Period, keypad, 0x6E, "VK_DECIMAL"},
        {Qt::Key_Slash, keypad, 0x6F, "VK_DIVIDE"},
        {Qt::Key_Asterisk, Qt::ShiftModifier, 0x38, "* is the key 8"},
        {Qt::Key_Semicolon, none, 0xBA, "VK_OEM_1"},
        {Qt::Key_Equal, none, 0xBB, "VK_OEM_PLUS"},
        {Qt::Key_Comma, none, 0xBC, "VK_OEM_COMMA"},
        {Qt::Key_Minus, none, 0xBD, "VK_OEM_MINUS"},
        {Qt::Key_Period, none, 0xBE, "VK_OEM_PERIOD"},
        {Qt::Key_Slash, none, 0xBF, "VK_OEM_2"},
        {Qt::Key_QuoteLeft, none, 0xC0, "VK_OEM_3"},
        {Qt::Key_BracketLeft, none, 0xDB, "VK_OEM_4"},
        {Qt::Key_Backslash, none, 0xDC, "VK_OEM_5"},
        {Qt::Key_BracketRight, none, 0xDD, "VK_OEM_6"},
        {Qt::Key_Apostrophe, none, 0xDE, "VK_OEM_7"},
        {Qt::Key_VolumeUp, none, 0, "no code: matches no binding"},
        {Qt::Key_unknown, none, 0, "unknown"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VirtualKeyCode(c.key, c.modifiers), c.vk) << c.what;
    }
}

}  // namespace
}  // namespace kivo
