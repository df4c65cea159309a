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

class QAction;
class QLabel;
class QTimer;

namespace kivo {

class GameControllers;
class QtPresenter;
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
    QString status_text() const;
    QAction* pause_action() const { return pause_action_; }
    // Replaces the modal boxes and the ROM file dialog (tests cannot click them).
    std::function<void(const QString&)> error_box;
    std::function<QString()> choose_rom_file;
    std::function<void()> about_box;

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
    // Opens the ROM named in rom_file_name after closing an open one, with the battery file.
    void OpenStoredRom();
    void CloseCurrentRom();

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
    bool destroyed_ = false;
    bool sized_ = false;
};

}  // namespace kivo
