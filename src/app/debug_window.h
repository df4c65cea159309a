// The debugger window TDebugWnd1: a memory view, a code view and the registers of the held
// machine, in three read-only panes. It only reads the machine.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>

#include "machine/gbsys.h"
#include "ui/debug_nav.h"

class QPlainTextEdit;

namespace kivo {

class TDebugWnd1 : public QDialog {
    Q_OBJECT
  public:
    explicit TDebugWnd1(TGBSYSF& gb, QWidget* parent = nullptr);

    void RefreshMem();
    void RefreshCode();
    void RefreshReg();
    void Refresh();
    // Up, Down, Page Up, Page Down and G in one pane; false for every other key.
    bool PaneKey(DebugPane pane, int qt_key);

    u16 mem_address = 0x0000;   // kept between openings
    u16 code_address = 0x0100;  // the processor's PC at each opening

    // ---- what the tests look at and replace ----
    QPlainTextEdit* memo1() const { return memo1_; }
    QPlainTextEdit* memo2() const { return memo2_; }
    QPlainTextEdit* memo3() const { return memo3_; }
    // Replaces the go-to query: returns the reply, or nothing when cancelled.
    std::function<std::optional<QString>(const QString& prefill)> ask_goto;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void Goto(u16* address);

    TGBSYSF& gb_;
    QPlainTextEdit* memo1_ = nullptr;
    QPlainTextEdit* memo2_ = nullptr;
    QPlainTextEdit* memo3_ = nullptr;
};

// "Courier New" where it is installed, else the system's fixed-pitch font.
QFont DebuggerFont();

}  // namespace kivo
