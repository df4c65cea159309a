// Key events as the Windows virtual-key codes that INI files store, where the picture goes in the
// client area, and what the window's presenter shows.
#include <gtest/gtest.h>

#include <QImage>
#include <memory>

#include "app/qt_presenter.h"
#include "app/screen_view.h"
#include "app/vk_keys.h"
#include "host/dest_rect.h"
#include "machine/pacer.h"
#include "support/fake_clock.h"

namespace kivo {
namespace {

// The expected codes are the published values of the VK_ constants; the ends of each range.
TEST(VirtualKeyCodeTest, KeysGiveTheirPublishedCodes) {
    const Qt::KeyboardModifiers none = Qt::NoModifier, keypad = Qt::KeypadModifier,
                                shift = Qt::ShiftModifier;
    const struct {
        int key;
        Qt::KeyboardModifiers modifiers;
        std::uint32_t vk;
    } cases[] = {
        {Qt::Key_A, none, 0x41},       {Qt::Key_Z, shift, 0x5A},
        {Qt::Key_0, none, 0x30},       {Qt::Key_Exclam, shift, 0x31},
        {Qt::Key_F1, none, 0x70},      {Qt::Key_F24, none, 0x87},
        {Qt::Key_0, keypad, 0x60},     {Qt::Key_9, keypad, 0x69},
        {Qt::Key_Enter, keypad, 0x0D}, {Qt::Key_Minus, keypad, 0x6D},
        {Qt::Key_Minus, none, 0xBD},   {Qt::Key_QuoteLeft, none, 0xC0},
        {Qt::Key_Left, none, 0x25},    {Qt::Key_Escape, none, 0x1B},
        {Qt::Key_VolumeUp, none, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(VirtualKeyCode(c.key, c.modifiers), c.vk) << c.key;
}

TEST(DestRectTest, FixedSizesAreCentredAboveTheStatusBarAndWindowSizeFillsIt) {
    const Rect client{0, 0, 500, 400};
    EXPECT_EQ(ComputeDestRect(client, 19, 2), (Rect{90, 46, 410, 334}));
    EXPECT_EQ(ComputeDestRect(client, 19, 0), (Rect{0, 0, 500, 381}));
    // Bigger than the window: the picture keeps its size and is clipped. Past 4X is 4X.
    EXPECT_EQ(ComputeDestRect(client, 19, 4), (Rect{-70, -98, 570, 478}));
    EXPECT_EQ(ComputeDestRect(client, 19, 0xFFFFFFFF), ComputeDestRect(client, 19, 4));
}

TEST(QtPresenterTest, ShowsTheVisiblePixelsWhereAndHowTheOptionsSay) {
    auto gb = std::make_unique<TGBSYSF>();
    test::FakeClock clock;
    Pacer pacer(clock);
    ScreenView view;
    view.show();
    view.resize(500, 381);
    QtPresenter presenter(*gb, view, pacer);
    ASSERT_TRUE(presenter.InitVideo());
    u8* fb = gb->memory.frame_buffer;
    for (int y = 0; y < kScreenHeight; ++y) {
        for (int x = 0; x < kLinePixels; ++x) {
            // Blue and green count the pixel's place; red makes black and white columns.
            u8* p = fb + y * kLineBytes + x * 4;
            p[0] = static_cast<u8>(x), p[1] = static_cast<u8>(y), p[2] = x % 2 ? 0xFF : 0,
            p[3] = 0x33;
        }
    }
    gb->screen_size = 2;
    gb->dest_rect_dirty = true;
    for (const u32 filter : {1u, 2u}) {
        gb->screen_filter = filter;
        presenter.CopyFrameToSurface(fb);
        presenter.PresentFrame();
        // At 2X "Point" keeps each pixel whole and "Linear" blends neighbours: picture column 5,
        // red, lies under window columns 100 and 101.
        EXPECT_EQ(qRed(view.grab().toImage().pixel(100, 100)) == 0xFF, filter == 1) << filter;
    }
    const QImage shown = view.shown_picture();
    ASSERT_EQ(shown.size(), QSize(160, 144));
    // Visible pixel x is frame-buffer pixel x + 8 of its line.
    EXPECT_EQ(shown.pixel(0, 0) & 0xFFFFFF, 0x000008u);
    EXPECT_EQ(shown.pixel(159, 143) & 0xFFFFFF, 0xFF8FA7u);
}

}  // namespace
}  // namespace kivo
