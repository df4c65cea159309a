#include "app/screen_view.h"

#include <QMetaObject>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>
#include <cstring>

#include "machine/layout.h"

namespace kivo {

ScreenView::ScreenView(QWidget* parent)
    : QWidget(parent),
      incoming_(kScreenWidth, kScreenHeight, QImage::Format_RGB32),
      shown_(kScreenWidth, kScreenHeight, QImage::Format_RGB32) {
    incoming_.fill(Qt::black);
    shown_.fill(Qt::black);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

void ScreenView::PublishFrame(const std::uint8_t* frame_buffer) {
    // Format_RGB32 keeps a pixel as blue, green, red, unused in memory on a little-endian host:
    // the frame buffer's own order, so each line is one copy.
    std::lock_guard lock(mutex_);
    for (int y = 0; y < kScreenHeight; ++y) {
        std::memcpy(incoming_.scanLine(y), frame_buffer + y * kLineBytes + kVisibleOffset,
                    kScreenWidth * 4);
    }
}

void ScreenView::Present(const Rect& dest, std::uint32_t filter) {
    {
        std::lock_guard lock(mutex_);
        // Copying the pixels keeps the two images apart; QImage would otherwise share them.
        std::memcpy(shown_.bits(), incoming_.constBits(), incoming_.sizeInBytes());
        dest_ = dest;
        filter_ = filter;
        has_picture_ = true;
    }
    // One repaint request at a time: a machine far ahead of the display must not flood the GUI
    // thread's queue. Asked for by name, so that the queued call carries nothing of ours from
    // this thread to the GUI thread: the whole hand-over happens inside Qt.
    if (!repaint_pending_.exchange(true)) {
        QMetaObject::invokeMethod(this, "RepaintRequested", Qt::QueuedConnection);
    }
}

void ScreenView::RepaintRequested() {
    repaint_pending_ = false;
    update();
}

void ScreenView::CopyLastFrame(std::uint8_t* out) const {
    std::lock_guard lock(mutex_);
    std::memcpy(out, incoming_.constBits(), incoming_.sizeInBytes());
}

void ScreenView::ShowFrame(const std::uint8_t* pixels) {
    {
        std::lock_guard lock(mutex_);
        std::memcpy(incoming_.bits(), pixels, incoming_.sizeInBytes());
        std::memcpy(shown_.bits(), pixels, shown_.sizeInBytes());
        has_picture_ = true;
    }
    update();
}

void ScreenView::SetOverlay(const QString& text) {
    if (text == overlay_) return;
    overlay_ = text;
    update();
}

void ScreenView::SetBackground(std::uint32_t c) {
    background_ = QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    update();
}

void ScreenView::ClearPicture() {
    {
        std::lock_guard lock(mutex_);
        has_picture_ = false;
    }
    update();
}

bool ScreenView::has_picture() const {
    std::lock_guard lock(mutex_);
    return has_picture_;
}

QImage ScreenView::shown_picture() const {
    std::lock_guard lock(mutex_);
    return shown_.copy();
}

void ScreenView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), background_);
    {
        std::lock_guard lock(mutex_);
        if (!has_picture_) return;
        const QRect target(dest_.left, dest_.top, dest_.right - dest_.left,
                           dest_.bottom - dest_.top);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, filter_ >= 2);
        painter.drawImage(target, shown_);
    }
    if (overlay_.isEmpty()) return;
    QFont font = painter.font();
    font.setPixelSize(std::max(14, height() / 40));
    painter.setFont(font);
    const QRect text = painter.fontMetrics().boundingRect(overlay_).adjusted(-8, -4, 8, 4);
    const QRect box = text.translated(-text.topLeft() + QPoint(12, height() - text.height() - 12));
    painter.fillRect(box, QColor(0, 0, 0, 160));
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, overlay_);
}

void ScreenView::resizeEvent(QResizeEvent* event) {
    width_.store(event->size().width(), std::memory_order_relaxed);
    height_.store(event->size().height(), std::memory_order_relaxed);
    Q_EMIT resized();
}

}  // namespace kivo
