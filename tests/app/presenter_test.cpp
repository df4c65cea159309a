// Where the picture goes in the client area, and what the window's presenter shows.
#include <gtest/gtest.h>

#include <QImage>
#include <memory>

#include "app/qt_presenter.h"
#include "app/screen_view.h"
#include "host/dest_rect.h"
#include "machine/pacer.h"
#include "support/fake_clock.h"

namespace kivo {
namespace {

TEST(DestRectTest, FixedSizesAreCentredAboveTheStatusBarAndWindowSizeFillsIt) {
    const Rect client{0, 0, 500, 400};
    EXPECT_EQ(ComputeDestRect(client, 19, 2), (Rect{90, 46, 410, 334}));
    EXPECT_EQ(ComputeDestRect(client, 19, 0), (Rect{0, 0, 500, 381}));
    EXPECT_EQ(ComputeDestRect(client, 19, 1), (Rect{170, 118, 330, 262}));
    // Bigger than the window: the picture keeps its size and is clipped.
    EXPECT_EQ(ComputeDestRect(client, 19, 4), (Rect{-70, -98, 570, 478}));
    // A size from a hand-edited INI file past 4X is 4X.
    EXPECT_EQ(ComputeDestRect(client, 19, 77), ComputeDestRect(client, 19, 4));
    EXPECT_EQ(ComputeDestRect(client, 19, 0xFFFFFFFF), ComputeDestRect(client, 19, 4));
}

TEST(QtPresenterTest, ShowsTheVisiblePixelsWhereTheOptionsPutThem) {
    auto gb = std::make_unique<TGBSYSF>();
    test::FakeClock clock;
    Pacer pacer(clock);
    ScreenView view;
    view.show();
    view.resize(500, 381);
    QtPresenter presenter(*gb, view, pacer);

    presenter.CopyFrameToSurface(gb->memory.frame_buffer);  // before set-up: nothing happens
    presenter.PresentFrame();
    EXPECT_FALSE(view.has_picture());

    ASSERT_TRUE(presenter.InitVideo());
    u8* fb = gb->memory.frame_buffer;
    for (int y = 0; y < kScreenHeight; ++y) {
        for (int x = 0; x < kLinePixels; ++x) {
            u8* p = fb + y * kLineBytes + x * 4;
            p[0] = static_cast<u8>(x), p[1] = static_cast<u8>(y), p[2] = 0x80, p[3] = 0x33;
        }
    }
    gb->screen_size = 2;
    gb->dest_rect_dirty = true;
    presenter.CopyFrameToSurface(fb);
    presenter.PresentFrame();
    EXPECT_FALSE(gb->dest_rect_dirty);
    EXPECT_EQ((Rect{gb->dest_rect[0], gb->dest_rect[1], gb->dest_rect[2], gb->dest_rect[3]}),
              (Rect{90, 46, 410, 334}));
    const QImage shown = view.shown_picture();
    ASSERT_EQ(shown.size(), QSize(160, 144));
    // Visible pixel x is frame-buffer pixel x + 8 of its line.
    EXPECT_EQ(shown.pixel(0, 0) & 0xFFFFFF, 0x800008u);
    EXPECT_EQ(shown.pixel(159, 143) & 0xFFFFFF, 0x808FA7u);

    // A resize takes effect at the next present, also a repaint of a held machine.
    view.resize(320, 288);
    gb->screen_size = 0;
    gb->dest_rect_dirty = true;
    presenter.PresentFrame();
    EXPECT_EQ(gb->dest_rect[2], 320);
    EXPECT_EQ(gb->dest_rect[3], 288);
}

}  // namespace
}  // namespace kivo
