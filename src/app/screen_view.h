// The main window's client area: the background colour, and the emulated picture where the
// presenter put it. The presenter (on the emulation thread) publishes each frame here under a
// mutex, and the view paints a whole frame, never half of one.
#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/dest_rect.h"

namespace kivo {

class ScreenView : public QWidget {
    Q_OBJECT
  public:
    explicit ScreenView(QWidget* parent = nullptr);

    // ---- emulation thread (the presenter) ----
    // Takes the visible 160x144 pixels of a frame buffer (144 lines of 704 bytes, visible pixels
    // from byte 32, blue, green, red, tag).
    void PublishFrame(const std::uint8_t* frame_buffer);
    // Shows the last published frame in `dest` with the filter (2 smooth, else nearest pixel), and
    // asks the GUI thread to repaint.
    void Present(const Rect& dest, std::uint32_t filter);
    // The client area's size as last laid out, readable from any thread.
    int client_width() const { return width_.load(std::memory_order_relaxed); }
    int client_height() const { return height_.load(std::memory_order_relaxed); }

    // The last published frame's 160x144 pixels (4 bytes each, as PublishFrame keeps them) into
    // `out`; any thread.
    void CopyLastFrame(std::uint8_t* out) const;

    // ---- GUI thread ----
    // Shows 160x144 pixels as CopyLastFrame gave them, at once, where the last frame was (a
    // rewound machine's picture).
    void ShowFrame(const std::uint8_t* pixels);
    void SetBackground(std::uint32_t windows_color);  // 0x00BBGGRR
    // A line of text over the bottom of the picture (full screen's status); empty for none.
    void SetOverlay(const QString& text);
    const QString& overlay() const { return overlay_; }
    // Forgets the picture: the area shows the background only (a closed ROM).
    void ClearPicture();
    bool has_picture() const;
    // The picture as it is shown now, for tests.
    QImage shown_picture() const;

  Q_SIGNALS:
    void resized();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // The GUI thread's side of Present: one repaint, and the next Present may ask again.
    Q_INVOKABLE void RepaintRequested();

    mutable std::mutex mutex_;
    QImage incoming_;  // the last published frame
    QImage shown_;     // the last presented frame
    Rect dest_;
    std::uint32_t filter_ = 0;
    bool has_picture_ = false;
    QColor background_;
    QString overlay_;
    std::atomic<int> width_{0};
    std::atomic<int> height_{0};
    std::atomic<bool> repaint_pending_{false};
};

}  // namespace kivo
