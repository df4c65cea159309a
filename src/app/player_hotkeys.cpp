#include "app/player_hotkeys.h"

#include <QBuffer>
#include <QImage>
#include <QKeyEvent>
#include <QMenuBar>
#include <QStatusBar>
#include <QTimer>
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
    // On the worker, after each slice: copying the state and the last picture allocates nothing.
    window.worker().after_slice = [this] {
        if (u8* picture = ring_.AfterSlice(window_.machine())) {
            window_.screen().CopyLastFrame(picture);
        }
    };
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
    if (action.hotkey == Hotkey::kRewind) EndRewind();
}

// ---- fast-forward and rewind ----

void PlayerHotkeys::SetFastForward(bool on) {
    if (on == fast_forward_) return;
    fast_forward_ = on;
    pacer_.SetUnpaced(on);
    window_.worker().SetUnpaced(on);
}

void PlayerHotkeys::BeginRewind() {
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
    }
}

void PlayerHotkeys::EndRewind() {
    if (!rewinding_) return;
    rewinding_ = false;
    rewind_timer_->stop();
    window_.worker().ThreadContinue1();
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
    for (const std::string& folder : ScreenshotFolders(
             gb.rom_file_name, std::getenv("XDG_PICTURES_DIR"), std::getenv("HOME"))) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        const std::string path = FreeScreenshotPath(folder, name);
        if (WriteFileSafely(path, png.constData(), static_cast<std::size_t>(png.size()), &error)) {
            last_screenshot_ = path;
            return Flash("Screenshot " + path);
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
        window_.showFullScreen();
    } else {
        window_.showNormal();
    }
}

// ---- the status bar ----

void PlayerHotkeys::Flash(const std::string& text) {
    flash_.Show(text, clock_.elapsed());
    window_.UpdateSS();
    QTimer::singleShot(StatusFlash::kShowMs + 50, &window_, [this] { window_.UpdateSS(); });
}

std::string PlayerHotkeys::StatusLine(const std::string& usual) const {
    return flash_.Text(usual, clock_.elapsed());
}

}  // namespace kivo
