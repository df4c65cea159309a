#include "app/player_hotkeys.h"

#include <QBuffer>
#include <QImage>
#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "app/main_window.h"
#include "app/qt_presenter.h"
#include "app/screen_view.h"
#include "app/vk_keys.h"
#include "common/safe_file.h"
#include "machine/pacer.h"
#include "ui/state_files.h"

namespace kivo {

namespace {

// A held rewind key steps back one snapshot this often (real time).
constexpr int kRewindStepMs = 1000 / 15;
// A release of the rewind key followed by a press within this time is the keyboard's repeat.
constexpr int kRepeatGapMs = 40;

}  // namespace

PlayerHotkeys::PlayerHotkeys(TMainWnd& window, QtPresenter& presenter, Pacer& pacer)
    : QObject(&window), window_(window), presenter_(presenter), pacer_(pacer) {
    clock_.start();
    window.installEventFilter(this);
    // The menu bar is hidden in full screen; its shortcuts (F5-F8) keep working through the
    // window itself.
    for (QAction* menu : window.menuBar()->actions()) {
        std::function<void(QMenu*)> add = [&](QMenu* m) {
            if (!m) return;
            for (QAction* action : m->actions()) {
                if (!action->shortcut().isEmpty()) window.addAction(action);
                add(action->menu());
            }
        };
        add(menu->menu());
    }
    rewind_timer_ = new QTimer(this);
    rewind_timer_->setInterval(kRewindStepMs);
    connect(rewind_timer_, &QTimer::timeout, this, &PlayerHotkeys::StepBack);
    rewind_release_ = new QTimer(this);
    rewind_release_->setSingleShot(true);
    rewind_release_->setInterval(kRepeatGapMs);
    connect(rewind_release_, &QTimer::timeout, this, &PlayerHotkeys::EndRewind);
    // On the worker, after each slice: copying the state and the last picture allocates nothing.
    window.worker().after_slice = [this] {
        if (u8* picture = ring_.AfterSlice(window_.machine())) {
            window_.screen().CopyLastFrame(picture);
        }
    };
}

void PlayerHotkeys::Stop() {
    window_.removeEventFilter(this);
    SetFastForward(false);
    EndRewind();
}

bool PlayerHotkeys::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &window_) return false;
    switch (event->type()) {
        // A hotkey's press is taken here: it is no key press for the game (a loaded slot is
        // exactly the saved machine, without a joypad request on top).
        case QEvent::KeyPress: return KeyPressed(static_cast<QKeyEvent*>(event));
        case QEvent::KeyRelease: KeyReleased(static_cast<QKeyEvent*>(event)); break;
        case QEvent::WindowDeactivate:
            // A key let go in another window never reports its release here.
            SetFastForward(false);
            EndRewind();
            break;
        default: break;
    }
    return false;
}

bool PlayerHotkeys::KeyPressed(QKeyEvent* event) {
    const u32 code = VirtualKeyCode(event->key(), event->modifiers());
    const HotkeyAction action =
        FindHotkey(window_.machine(), code, event->modifiers().testFlag(Qt::ShiftModifier));
    if (action.hotkey == Hotkey::kLeaveFullScreen && !full_screen_) return false;
    // The keyboard repeats a held key's press: the hotkey acted on the first one.
    if (event->isAutoRepeat()) return action.hotkey != Hotkey::kNone;
    switch (action.hotkey) {
        case Hotkey::kNone: return false;
        case Hotkey::kFastForward: SetFastForward(true); break;
        case Hotkey::kRewind: BeginRewind(); break;
        case Hotkey::kLoadSlot: LoadSlot(action.slot); break;
        case Hotkey::kSaveSlot: SaveSlot(action.slot); break;
        case Hotkey::kScreenshot: Screenshot(); break;
        case Hotkey::kFullScreen: SetFullScreen(!full_screen_); break;
        case Hotkey::kLeaveFullScreen: SetFullScreen(false); break;
    }
    return true;
}

void PlayerHotkeys::KeyReleased(QKeyEvent* event) {
    if (event->isAutoRepeat()) return;
    const u32 code = VirtualKeyCode(event->key(), event->modifiers());
    const HotkeyAction action = FindHotkey(window_.machine(), code, false);
    if (action.hotkey == Hotkey::kFastForward) SetFastForward(false);
    // A key the X server repeats sends a release and a press each time; the toolkit marks them
    // as a repeat only when it sees both at once. A rewind ends once no press follows soon.
    if (action.hotkey == Hotkey::kRewind && rewinding_) rewind_release_->start();
}

// ---- fast-forward and rewind ----

void PlayerHotkeys::SetFastForward(bool on) {
    if (on == fast_forward_) return;
    fast_forward_ = on;
    pacer_.SetUnpaced(on);
    window_.worker().SetUnpaced(on);
}

void PlayerHotkeys::BeginRewind() {
    if (rewind_release_->isActive()) {
        // The release was the keyboard's repeat: the key is still held.
        rewind_release_->stop();
        return;
    }
    if (rewinding_ || !window_.machine().rom_open) return;
    rewinding_ = true;
    rewind_steps_ = 0;
    window_.worker().ThreadPause1();
    StepBack();
    rewind_timer_->start();
}

void PlayerHotkeys::StepBack() {
    if (const u8* picture = ring_.StepBack(window_.machine())) {
        ++rewind_steps_;
        window_.screen().ShowFrame(picture);
        ShowStatus();
    }
}

void PlayerHotkeys::EndRewind() {
    if (!rewinding_) return;
    rewinding_ = false;
    rewind_timer_->stop();
    rewind_release_->stop();
    window_.worker().ThreadContinue1();
    // Once the worker runs again, so that the status does not read "Stopped" for a second.
    QTimer::singleShot(150, &window_, [this] { ShowStatus(); });
}

// ---- quick slots ----

void PlayerHotkeys::LoadSlot(int slot) {
    TGBSYSF& gb = window_.machine();
    if (!gb.rom_open) return Flash("No ROM open");
    const std::string path = QuickSlotPath(gb.rom_file_name, slot);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return Flash("No state in slot " + std::to_string(slot));
    }
    window_.worker().ThreadPause1();
    std::string error;
    const bool loaded = LoadState(gb, path, &error);
    window_.worker().ThreadContinue1();
    if (!loaded) return window_.ShowErrorMessage(error);
    Flash("State " + std::to_string(slot) + " loaded");
}

void PlayerHotkeys::SaveSlot(int slot) {
    TGBSYSF& gb = window_.machine();
    if (!gb.rom_open) return Flash("No ROM open");
    window_.worker().ThreadPause1();
    std::string error;
    const bool saved = SaveState(gb, QuickSlotPath(gb.rom_file_name, slot), &error);
    window_.worker().ThreadContinue1();
    if (!saved) return window_.ShowErrorMessage(error);
    Flash("State " + std::to_string(slot) + " saved");
}

// ---- screenshots ----

void PlayerHotkeys::Screenshot() {
    const TGBSYSF& gb = window_.machine();
    if (!gb.rom_open || !window_.screen().has_picture()) return Flash("No picture to save");
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    window_.screen().shown_picture().convertToFormat(QImage::Format_RGB888).save(&buffer, "PNG");

    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    const std::string name = ScreenshotName(gb.rom_file_name, local);
    std::string error;
    const std::vector<std::string> folders =
        ScreenshotFolders(gb.rom_file_name, std::getenv("XDG_PICTURES_DIR"), std::getenv("HOME"));
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const bool beside_rom = i == 0;
        // The pictures folder is made when missing; a ROM's folder that is gone stays gone.
        std::error_code ec;
        if (!beside_rom) std::filesystem::create_directories(folders[i], ec);
        const std::string path = FreeScreenshotPath(folders[i], name);
        if (WriteFileSafely(path, png.constData(), static_cast<std::size_t>(png.size()), &error)) {
            last_screenshot_ = path;
            // Beside the ROM the name says enough; elsewhere the player needs the folder too.
            return Flash("Screenshot " +
                         (beside_rom ? std::filesystem::path(path).filename().string() : path));
        }
    }
    window_.ShowErrorMessage(error);
}

// ---- full screen ----

void PlayerHotkeys::SetFullScreen(bool on) {
    if (on == full_screen_) return;
    full_screen_ = on;
    window_.menuBar()->setVisible(!on);
    window_.statusBar()->setVisible(!on);
    presenter_.SetFullScreen(on);
    if (on) {
        normal_geometry_ = window_.geometry();
        window_.showFullScreen();
        // A window manager makes the window cover the screen; without one (a bare X server)
        // nothing would, so the window takes the screen's rectangle itself.
        if (const QScreen* display = window_.QWidget::screen()) {
            window_.setGeometry(display->geometry());
        }
    } else {
        window_.showNormal();
        window_.setGeometry(normal_geometry_);
    }
    ShowStatus();
}

// ---- the status bar ----

void PlayerHotkeys::Flash(const std::string& text) {
    flash_.Show(text, clock_.elapsed());
    ShowStatus();
    QTimer::singleShot(StatusFlash::kShowMs + 50, &window_, [this] { ShowStatus(); });
}

void PlayerHotkeys::ShowStatus() {
    window_.UpdateSS();
    // Full screen has no status bar: the passing messages show over the picture.
    const std::string passing = full_screen_ ? StatusLine({}) : std::string();
    window_.screen().SetOverlay(
        QString::fromUtf8(passing.data(), static_cast<qsizetype>(passing.size())));
}

std::string PlayerHotkeys::StatusLine(const std::string& usual) const {
    if (rewinding_) {
        // The held machine would read "Stopped". Each step is a quarter console second.
        const int quarters = rewind_steps_;
        char text[64];
        std::snprintf(text, sizeof text, "Rewinding... %d.%02d s back", quarters / 4,
                      quarters % 4 * 25);
        return text;
    }
    return flash_.Text(usual, clock_.elapsed());
}

}  // namespace kivo
