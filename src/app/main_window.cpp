#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "app/about_box.h"
#include "app/debug_window.h"
#include "app/options_dialog.h"
#include "app/player_hotkeys.h"
#include "app/qt_presenter.h"
#include "app/screen_view.h"
#include "app/vk_keys.h"
#include "host/game_controllers.h"
#include "host/sdl_sound_output.h"
#include "host/thread_priority.h"
#include "ui/cart_info.h"
#include "ui/ini_location.h"
#include "ui/keys.h"
#include "ui/options.h"
#include "ui/state_files.h"
#include "ui/window_texts.h"

namespace kivo {

namespace {

// The ROM dialog's two entries: the four ROM extensions, and every file.
constexpr const char* kRomFilter = "GameBoy ROM  (*.gb *.gbc *.cgb *.sgb);;All Files (*)";
constexpr const char* kStateFilter = "State File (*.kivostate)";

// Each memory file's filter names its region and extension.
QString RegionFilter(MemoryRegion region) {
    const QString name = QString::fromLatin1(MemoryRegionName(region));
    return name + " (*.kivo" + name.toLower() + ")";
}

// The window's outer size and place at start, and its smallest outer size.
constexpr QPoint kStartPosition{260, 131};
constexpr QSize kStartSize{527, 430};
constexpr QSize kMinimumSize{400, 300};

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TMainWnd::TMainWnd(const Setup& setup, QWidget* parent) : QMainWindow(parent), setup_(setup) {
    setWindowTitle(kAppTitle);
    move(kStartPosition);
    resize(kStartSize);
    setMinimumSize(kMinimumSize);
    setFocusPolicy(Qt::StrongFocus);

    screen_ = new ScreenView(this);
    setCentralWidget(screen_);
    status_label_ = new QLabel(this);
    statusBar()->addWidget(status_label_, 1);
    statusBar()->setSizeGripEnabled(true);
    BuildMenus();

    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, &TMainWnd::Timer1Timer);
    connect(screen_, &ScreenView::resized, this, &TMainWnd::FormResize);
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (thread_) thread_->SetAppActive(state == Qt::ApplicationActive);
            });

    FormCreate();
    timer_->start();
}

TMainWnd::~TMainWnd() {
    FormDestroy();
}

void TMainWnd::BuildMenus() {
    auto item = [this](QMenu* menu, const char* text, void (TMainWnd::*command)() = nullptr,
                       QKeySequence shortcut = {}) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        if (!shortcut.isEmpty()) action->setShortcut(shortcut);
        if (command) connect(action, &QAction::triggered, this, command);
        return action;
    };
    auto region_item = [this](QMenu* menu, const char* text,
                              void (TMainWnd::*command)(MemoryRegion), MemoryRegion region) {
        QAction* action = menu->addAction(QString::fromLatin1(text));
        connect(action, &QAction::triggered, this,
                [this, command, region] { (this->*command)(region); });
    };
    constexpr MemoryRegion kX = MemoryRegion::XRAM, kV = MemoryRegion::VRAM,
                           kW = MemoryRegion::WRAM;

    QMenu* file = menuBar()->addMenu("File");
    item(file, "Open ROM...", &TMainWnd::OpenROM1Click);
    item(file, "Close ROM", &TMainWnd::CloseROM1Click);
    file->addSeparator();
    item(file, "Open State...", &TMainWnd::OpenState1Click);
    item(file, "Save State...", &TMainWnd::SaveState1Click);
    file->addSeparator();
    QMenu* open_ram = file->addMenu("Open RAM");
    region_item(open_ram, "Open XRAM...", &TMainWnd::OpenMemory1Click, kX);
    region_item(open_ram, "Open VRAM...", &TMainWnd::OpenMemory1Click, kV);
    region_item(open_ram, "Open WRAM...", &TMainWnd::OpenMemory1Click, kW);
    QMenu* save_ram = file->addMenu("Save RAM");
    region_item(save_ram, "Save XRAM...", &TMainWnd::SaveMemory1Click, kX);
    region_item(save_ram, "Save VRAM...", &TMainWnd::SaveMemory1Click, kV);
    region_item(save_ram, "Save WRAM...", &TMainWnd::SaveMemory1Click, kW);
    file->addSeparator();
    item(file, "Quit", &TMainWnd::Quit1Click);

    QMenu* system = menuBar()->addMenu("System");
    item(system, "Reset", &TMainWnd::Reset1Click);
    pause_action_ = item(system, "Pause", &TMainWnd::Pause1Click, QKeySequence(Qt::Key_F5));
    pause_action_->setCheckable(true);
    item(system, "Debug...", &TMainWnd::Debug1Click, QKeySequence(Qt::Key_F6));
    system->addSeparator();
    QMenu* clear = system->addMenu("Clear RAM");
    item(clear, "Clear All RAM", &TMainWnd::ClearAllRam1Click);
    region_item(clear, "Clear VRAM", &TMainWnd::ClearMemory1Click, kV);
    region_item(clear, "Clear WRAM", &TMainWnd::ClearMemory1Click, kW);
    region_item(clear, "Clear XRAM", &TMainWnd::ClearMemory1Click, kX);
    item(system, "Hard Reset", &TMainWnd::HardReset1Click);

    QMenu* tools = menuBar()->addMenu("Tools");
    item(tools, "Options...", &TMainWnd::Options1Click, QKeySequence(Qt::Key_F7));
    item(tools, "Cartridge Info...", &TMainWnd::CartridgeInfo1Click, QKeySequence(Qt::Key_F8));

    QMenu* help = menuBar()->addMenu("?");
    item(help, "About...", &TMainWnd::About1Click);
}

// ---- start and shutdown ----

void TMainWnd::FormCreate() {
    gb_ = std::make_unique<TGBSYSF>();
    gb_->ShowErrorMessage = [this](const std::string& text) { ShowErrorMessage(text); };
    // KIVO_NOISE_SEED fixes the noise channel's seed, so that the window's sound can be held to
    // the runner's (scripts/record_sound.sh).
    if (const char* seed = std::getenv("KIVO_NOISE_SEED")) {
        const auto value = static_cast<u32>(std::strtoul(seed, nullptr, 10));
        gb_->noise_seed_source = [value] { return value; };
    }
    const QScreen* display = QGuiApplication::primaryScreen();
    pacer_ = std::make_unique<Pacer>(clock_, display ? display->refreshRate() : 0.0);
    thread_ = std::make_unique<TSystemThread>(*gb_, clock_);
    thread_->apply_priority = ApplyThreadPriority;

    INIRead(*gb_, setup_.ini_path);

    presenter_ = std::make_unique<QtPresenter>(*gb_, *screen_, *pacer_);
    gb_->presenter = presenter_.get();
    presenter_->InitVideo();
    hotkeys_ = new PlayerHotkeys(*this, *presenter_, *pacer_);
    if (setup_.sound) {
        sound_ = std::make_unique<SdlSoundOutput>(*gb_);
        gb_->sound_output = sound_.get();
        sound_->InitSound();
    }
    controllers_ = std::make_unique<GameControllers>(*gb_, holds_);
    controllers_->Init();
    pad_timer_ = new QTimer(this);
    connect(pad_timer_, &QTimer::timeout, this, [this] { controllers_->Poll(); });
    pad_timer_->start(8);

    gb_->HardReset();
    presenter_->UpdateDestRect();
    setAcceptDrops(true);
    UpdateSS();
    screen_->SetBackground(gb_->screen_ClientColor);
    UpdateFrameRatio();
    thread_->SetPriority(gb_->system_thread_priority);
    // The dialogs live as long as the window.
    options_dlg_ = new TOptionsDlg1(*gb_, this);
    debug_wnd_ = new TDebugWnd1(*gb_, this);
    thread_->Start();
}

void TMainWnd::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    hotkeys_->Stop();
    thread_->ThreadPause1();
    if (sound_) sound_->StopSound();
    CloseCurrentRom();
    timer_->stop();
    pad_timer_->stop();
    controllers_->Shutdown();
    thread_->ThreadExit();
    presenter_->ReleaseVideo();
    if (sound_) sound_->ReleaseSound();
    gb_->presenter = nullptr;
    gb_->sound_output = nullptr;

    std::string error;
    if (!EnsureIniFolder(setup_.ini_path, &error) || !INIWrite(*gb_, setup_.ini_path, &error)) {
        ShowErrorMessage(error.rfind("Impossible", 0) == 0
                             ? error
                             : "Impossible d'écrire dans " + setup_.ini_path);
    }
}

void TMainWnd::closeEvent(QCloseEvent* event) {
    FormDestroy();
    event->accept();
}

void TMainWnd::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (sized_) return;
    sized_ = true;
    // The sizes are the window's outer ones, frame included.
    const QSize frame = frameGeometry().size() - geometry().size();
    resize(kStartSize - frame);
    setMinimumSize(kMinimumSize - frame);
    if (QWindow* window = windowHandle()) {
        connect(window, &QWindow::screenChanged, this, [this](QScreen* display) {
            if (display) pacer_->SetRefreshRate(display->refreshRate());
        });
        if (window->screen()) pacer_->SetRefreshRate(window->screen()->refreshRate());
    }
}

// ---- commands ----

void TMainWnd::Paused(const std::function<void()>& command) {
    thread_->ThreadPause1();
    command();
    thread_->ThreadContinue1();
}

void TMainWnd::CloseCurrentRom() {
    if (!gb_->rom_open) return;
    hotkeys_->ForgetRom();
    std::string error;
    if (!CloseRomFile(*gb_, &error)) ShowErrorMessage(error);
}

void TMainWnd::OpenRom(const std::string& path) {
    std::string error;
    std::string warning;
    // The open cartridge's battery file is named after its own file, still in rom_file_name;
    // OpenRomFile saves it there before it takes the new name.
    hotkeys_->ForgetRom();
    if (!OpenRomFile(*gb_, path, &error, &warning)) {
        ShowErrorMessage(error);
        return;
    }
    if (!warning.empty()) ShowErrorMessage(warning);
}

void TMainWnd::OpenROM1Click() {
    Paused([this] {
        const QString chosen = choose_rom_file
                                   ? choose_rom_file()
                                   : QFileDialog::getOpenFileName(this, "Open ROM...", QString(),
                                                                  QString::fromLatin1(kRomFilter));
        if (!chosen.isEmpty()) {
            OpenRom(chosen.toStdString());
            if (gb_->rom_open) MsgWrongCR();
        }
        UpdateAppTitle();
        UpdateSS();
    });
}

void TMainWnd::OpenRomPath(const std::string& path) {
    Paused([&] {
        OpenRom(path);
        UpdateAppTitle();
        UpdateSS();
        if (gb_->rom_open) MsgWrongCR();
    });
}

void TMainWnd::CloseROM1Click() {
    Paused([this] {
        CloseCurrentRom();
        screen_->ClearPicture();
        UpdateAppTitle();
        UpdateSS();
    });
}

void TMainWnd::Reset1Click() {
    Paused([this] { gb_->Reset(); });
}

void TMainWnd::HardReset1Click() {
    Paused([this] { gb_->HardReset(); });
}

void TMainWnd::Pause1Click() {
    Paused([this] {
        thread_->SetUserPause(!thread_->user_pause());
        pause_action_->setChecked(thread_->user_pause());
        UpdateSS();
    });
}

void TMainWnd::About1Click() {
    Paused([this] {
        if (about_box) {
            about_box();
        } else {
            TAboutBox box(this);
            box.exec();
        }
    });
}

void TMainWnd::Quit1Click() {
    close();
}

// ---- states, memory files and the RAM clears ----

QString TMainWnd::ChooseOpenFile(const QString& caption, const QString& filter) {
    if (choose_open_file) return choose_open_file(caption, filter);
    return QFileDialog::getOpenFileName(this, caption, QString(), filter);
}

std::string TMainWnd::ChooseSavePath(const QString& caption, const QString& filter,
                                     const std::function<std::string(const std::string&)>& rename) {
    QString chosen;
    if (choose_save_file) {
        chosen = choose_save_file(caption, filter);
    } else {
        // The overwrite question is asked below, about the name actually written.
        chosen = QFileDialog::getSaveFileName(this, caption, QString(), filter, nullptr,
                                              QFileDialog::DontConfirmOverwrite);
    }
    if (chosen.isEmpty()) return {};
    const std::string path = rename(chosen.toStdString());
    if (std::filesystem::exists(path)) {
        const QString name = FromUtf8(std::filesystem::path(path).filename().string());
        const bool replace =
            confirm_overwrite
                ? confirm_overwrite(name)
                : QMessageBox::question(this, "Confirm Save As",
                                        name + " already exists.\nDo you want to replace it?",
                                        QMessageBox::Yes | QMessageBox::No,
                                        QMessageBox::No) == QMessageBox::Yes;
        if (!replace) return {};
    }
    return path;
}

void TMainWnd::OpenState1Click() {
    Paused([this] {
        const QString chosen = ChooseOpenFile("Open State...", kStateFilter);
        if (chosen.isEmpty()) return;
        std::string error;
        if (!LoadState(*gb_, chosen.toStdString(), &error)) ShowErrorMessage(error);
    });
}

void TMainWnd::SaveState1Click() {
    Paused([this] {
        const std::string path = ChooseSavePath("Save State...", kStateFilter, StatePathFor);
        if (path.empty()) return;
        std::string error;
        if (!SaveState(*gb_, path, &error)) ShowErrorMessage(error);
    });
}

void TMainWnd::OpenMemory1Click(MemoryRegion region) {
    Paused([this, region] {
        const QString chosen = ChooseOpenFile(QString("Open %1...").arg(MemoryRegionName(region)),
                                              RegionFilter(region));
        if (chosen.isEmpty()) return;
        std::string error;
        if (!LoadMemory(*gb_, region, chosen.toStdString(), &error)) ShowErrorMessage(error);
    });
}

void TMainWnd::SaveMemory1Click(MemoryRegion region) {
    Paused([this, region] {
        const std::string path = ChooseSavePath(
            QString("Save %1...").arg(MemoryRegionName(region)), RegionFilter(region),
            [region](const std::string& chosen) { return MemoryPathFor(region, chosen); });
        if (path.empty()) return;
        std::string error;
        if (!SaveMemory(*gb_, region, path, &error)) ShowErrorMessage(error);
    });
}

void TMainWnd::ClearMemory1Click(MemoryRegion region) {
    Paused([this, region] { ClearMemory(*gb_, region); });
}

void TMainWnd::ClearAllRam1Click() {
    Paused([this] { ClearAllRam(*gb_); });
}

// ---- the options, the debugger and the cartridge information ----

int TMainWnd::ExecDialog(QDialog& dialog) {
    if (exec_dialog) return exec_dialog(dialog);
    CenterOnScreen(&dialog);
    return dialog.exec();
}

void TMainWnd::OptionsSetWnd() {
    options_dlg_->OptionsSetWnd();
}

void TMainWnd::OptionsGetWnd() {
    options_dlg_->OptionsGetWnd();
}

void TMainWnd::Options1Click() {
    Paused([this] {
        OptionsSetWnd();
        if (ExecDialog(*options_dlg_) == QDialog::Accepted) OptionsGetWnd();
        // Whatever the result; key bindings changed through "Change..." are already stored.
        screen_->SetBackground(gb_->screen_ClientColor);
        UpdateFrameRatio();
        UpdateSS();
        gb_->dest_rect_dirty = true;
        thread_->SetPriority(gb_->system_thread_priority);
    });
}

void TMainWnd::Debug1Click() {
    Paused([this] {
        debug_wnd_->code_address = gb_->state.PC;
        debug_wnd_->Refresh();
        ExecDialog(*debug_wnd_);
    });
}

void TMainWnd::CartridgeInfo1Click() {
    Paused([this] {
        // Header bytes above 0x7F show as Latin-1.
        const std::string text = CartridgeInfoText(*gb_);
        const QString message =
            QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
        if (info_box) {
            info_box(message);
            return;
        }
        QMessageBox box(QMessageBox::Information, "Information", message, QMessageBox::Ok, this);
        // Centred on the screen once it has its size, not over the main window.
        QTimer::singleShot(0, &box, [&box] { CenterOnScreen(&box); });
        box.exec();
    });
}

// ---- window upkeep ----

void TMainWnd::UpdateAppTitle() {
    setWindowTitle(FromUtf8(WindowTitle(gb_->rom_open, gb_->rom_file_name)));
}

QString TMainWnd::status_text() const {
    return status_label_->text();
}

void TMainWnd::UpdateSS() {
    status_label_->setText(FromUtf8(
        hotkeys_->StatusLine(StatusText({thread_->running.load(), thread_->user_pause(),
                                         thread_->perf_speed.load(), thread_->perf_fps.load()}))));
}

void TMainWnd::MsgWrongCR() {
    if (gb_->mbc_kind == MBC_UNKNOWN) ShowErrorMessage("Unknown Cartridge");
}

void TMainWnd::Timer1Timer() {
    UpdateSS();
    // Read while the worker may run: it sets BadOpCode once and then stops emulating.
    GbState& s = gb_->state;
    if (std::atomic_ref<u8>(s.BadOpCode).load() &&
        !std::atomic_ref<u8>(s.bad_opcode_shown).load()) {
        std::atomic_ref<u8>(s.bad_opcode_shown).store(1);
        ShowErrorMessage("Bad Opcode");
    }
}

void TMainWnd::UpdateFrameRatio() {
    gb_->UpdateFrameRatio();
}

void TMainWnd::FormResize() {
    gb_->dest_rect_dirty = true;
}

void TMainWnd::ShowErrorMessage(const std::string& text) {
    const QString message = FromUtf8(text);
    auto show = [this, message] {
        if (error_box) {
            error_box(message);
            return;
        }
        QMessageBox box(QMessageBox::Critical, "Erreur", message, QMessageBox::Ok, this);
        box.exec();
    };
    if (QThread::currentThread() == thread()) {
        show();
    } else {
        // The worker never waits for the box: the GUI thread may itself be waiting for the
        // worker to reach a pause.
        QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
    }
}

// ---- keyboard and drops ----

void TMainWnd::keyPressEvent(QKeyEvent* event) {
    KeyDown(*gb_, holds_, VirtualKeyCode(event->key(), event->modifiers()));
}

void TMainWnd::keyReleaseEvent(QKeyEvent* event) {
    // A held key repeats its press, as the keyboard does; the releases the toolkit adds between
    // the repeats would let the button go for an instant.
    if (event->isAutoRepeat()) return;
    KeyUp(*gb_, holds_, VirtualKeyCode(event->key(), event->modifiers()));
}

void TMainWnd::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TMainWnd::dropEvent(QDropEvent* event) {
    if (DropFiles(event->mimeData()->urls())) event->acceptProposedAction();
}

bool TMainWnd::DropFiles(const QList<QUrl>& urls) {
    if (urls.isEmpty() || !urls.front().isLocalFile()) return false;
    // Only the first file of a drop is opened, whatever its extension.
    OpenRomPath(urls.front().toLocalFile().toStdString());
    return true;
}

}  // namespace kivo
