// The main window TMainWnd: it owns the machine, the worker thread, the presenter and the sound
// output for the whole run, carries the menus whose commands drive the machine, the status bar,
// the once-a-second timer, the drop target for ROM files and the title naming the open ROM.
//
// Every command that reads or changes the machine runs between ThreadPause1 and
// ThreadContinue1, so the worker is held at the top of its loop while the GUI thread works.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QUrl>
#include <functional>
#include <memory>
#include <string>

#include "machine/clock.h"
#include "machine/gbsys.h"
#include "machine/pacer.h"
#include "machine/thread.h"
#include "ui/button_holds.h"
#include "ui/state_files.h"

class QAction;
class QDialog;
class QLabel;
class QTimer;

namespace kivo {

class GameControllers;
class PlayerHotkeys;
class QtPresenter;
class TDebugWnd1;
class TOptionsDlg1;
class ScreenView;
class SdlSoundOutput;

class TMainWnd : public QMainWindow {
    Q_OBJECT
  public:
    struct Setup {
        std::string ini_path;  // where the options are read at start and written at exit
        bool sound = true;     // open the sound device (tests run silent)
    };
    explicit TMainWnd(const Setup& setup, QWidget* parent = nullptr);
    // Runs FormDestroy if closing has not already.
    ~TMainWnd() override;

    // ---- commands ----
    void OpenROM1Click();
    void CloseROM1Click();
    // A ROM given on the command line or dropped on the window: any file, whatever its extension.
    void OpenRomPath(const std::string& path);
    // Files dropped on the window: the first one is opened. False when it is no local file.
    bool DropFiles(const QList<QUrl>& urls);
    void Reset1Click();
    void HardReset1Click();
    void Pause1Click();
    void About1Click();
    void Quit1Click();
    // States and memory files: a file dialog, then the shared loading and saving logic. A save
    // takes the command's extension; a failure shows one error box and changes nothing.
    void OpenState1Click();
    void SaveState1Click();
    void OpenMemory1Click(MemoryRegion region);
    void SaveMemory1Click(MemoryRegion region);
    void ClearMemory1Click(MemoryRegion region);
    void ClearAllRam1Click();
    // "Options...": the dialog filled from the options; OK stores them; either way the colour,
    // frame ratio, status, picture rectangle and thread priority are applied again.
    void Options1Click();
    void OptionsSetWnd();
    void OptionsGetWnd();
    // "Debug...": the debugger, its code view at PC, with the worker held while it is open.
    void Debug1Click();
    // "Cartridge Info...": the header and the system's reading of it in the information box.
    void CartridgeInfo1Click();

    // ---- window upkeep ----
    void UpdateAppTitle();
    void UpdateSS();
    void MsgWrongCR();
    void Timer1Timer();
    void UpdateFrameRatio();
    // The error box: caption "Erreur", the error icon, one "OK" button. Safe on any thread: from
    // the worker the text is handed to the GUI thread, which shows it.
    void ShowErrorMessage(const std::string& text);

    // ---- what the tests look at and replace ----
    TGBSYSF& machine() { return *gb_; }
    TSystemThread& worker() { return *thread_; }
    ScreenView& screen() { return *screen_; }
    PlayerHotkeys& hotkeys() { return *hotkeys_; }
    QString status_text() const;
    QAction* pause_action() const { return pause_action_; }
    TOptionsDlg1& options_dialog() { return *options_dlg_; }
    TDebugWnd1& debug_window() { return *debug_wnd_; }
    // Replaces the modal boxes and the file dialogs (tests cannot click them). The file dialogs
    // take the caption and the filter and return the chosen name, empty when cancelled;
    // confirm_overwrite asks before an existing file is replaced; exec_dialog runs the options
    // dialog and the debugger and returns their result.
    std::function<void(const QString&)> error_box;
    std::function<QString()> choose_rom_file;
    std::function<void()> about_box;
    std::function<QString(const QString& caption, const QString& filter)> choose_open_file;
    std::function<QString(const QString& caption, const QString& filter)> choose_save_file;
    std::function<bool(const QString& path)> confirm_overwrite;
    std::function<void(const QString&)> info_box;
    std::function<int(QDialog& dialog)> exec_dialog;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void FormCreate();
    void FormDestroy();
    void BuildMenus();
    void FormResize();
    // Runs a command with the worker held.
    void Paused(const std::function<void()>& command);
    // Opens the ROM at `path` after closing an open one (whose battery RAM is saved first), with
    // the new cartridge's battery file.
    void OpenRom(const std::string& path);
    void CloseCurrentRom();
    QString ChooseOpenFile(const QString& caption, const QString& filter);
    // The name the user chose with the command's extension, once an existing file of that name
    // may be replaced; empty when cancelled.
    std::string ChooseSavePath(const QString& caption, const QString& filter,
                               const std::function<std::string(const std::string&)>& rename);
    int ExecDialog(QDialog& dialog);

    Setup setup_;
    std::unique_ptr<TGBSYSF> gb_;
    SteadyClock clock_;
    std::unique_ptr<Pacer> pacer_;
    std::unique_ptr<TSystemThread> thread_;
    std::unique_ptr<QtPresenter> presenter_;
    std::unique_ptr<SdlSoundOutput> sound_;
    ButtonHolds holds_;  // the keyboard's and the game controllers' holds on the buttons
    std::unique_ptr<GameControllers> controllers_;
    QTimer* pad_timer_ = nullptr;  // polls the game controllers
    ScreenView* screen_ = nullptr;
    QLabel* status_label_ = nullptr;
    QTimer* timer_ = nullptr;
    QAction* pause_action_ = nullptr;
    TOptionsDlg1* options_dlg_ = nullptr;
    TDebugWnd1* debug_wnd_ = nullptr;
    PlayerHotkeys* hotkeys_ = nullptr;  // a child: it outlives the worker's loop
    bool destroyed_ = false;
    bool sized_ = false;
};

}  // namespace kivo
