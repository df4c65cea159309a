// The options dialog TOptionsDlg1 and its key capture dialog TKeyWnd. The dialog only moves
// values between its controls and the machine's options (through the option table); what the
// options do when the dialog closes is the main window's business.
#pragma once

#include <QColor>
#include <QDialog>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "machine/gbsys.h"

class QCheckBox;
class QComboBox;
class QListWidget;
class QPushButton;
class QSlider;

namespace kivo {

// "Press any key...": the first key pressed in it, whatever it is, closes it with OK. It has no
// close box and no other way out.
class TKeyWnd : public QDialog {
    Q_OBJECT
  public:
    explicit TKeyWnd(QWidget* parent = nullptr);
    // The virtual-key code of the last key pressed in it.
    std::uint32_t key = 0;

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

class TOptionsDlg1 : public QDialog {
    Q_OBJECT
  public:
    // "Change..." stores key bindings straight into `gb`.
    explicit TOptionsDlg1(TGBSYSF& gb, QWidget* parent = nullptr);

    // Every control from its option, then the key list.
    void OptionsSetWnd();
    // Every option but the key bindings from its control: a combo box with nothing selected
    // stores -1.
    void OptionsGetWnd();
    // The eight lines of the key list from the current bindings; the selection stays.
    void OptionsSetKeys();
    // "Choose...": the colour dialog, preset to the button's caption colour.
    void BitBtn1Click();
    // "Change...": the key capture dialog; its key binds the selected line AND 7.
    void Button1Click();

    // ---- what the tests look at and replace ----
    QComboBox* combo(const std::string& key) const { return combos_.at(key); }
    QCheckBox* check(const std::string& key) const { return checks_.at(key); }
    QSlider* frame_rate() const { return frame_rate_; }
    QListWidget* key_list() const { return key_list_; }
    QPushButton* choose_button() const { return choose_; }
    QPushButton* change_button() const { return change_; }
    QPushButton* ok_button() const { return ok_; }
    QPushButton* cancel_button() const { return cancel_; }
    // The "Choose..." button's caption colour as a Windows colour 0x00BBGGRR.
    std::uint32_t chosen_color() const { return chosen_color_; }
    // Replace the modal colour dialog (an invalid colour: cancelled) and the key capture dialog's
    // exec (returns the dialog's result).
    std::function<QColor(const QColor& initial)> choose_color;
    std::function<int(TKeyWnd& dialog)> exec_key_wnd;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void SetChosenColor(std::uint32_t windows_color);

    TGBSYSF& gb_;
    std::map<std::string, QComboBox*> combos_;
    std::map<std::string, QCheckBox*> checks_;
    QSlider* frame_rate_ = nullptr;
    QListWidget* key_list_ = nullptr;
    QPushButton* choose_ = nullptr;
    QPushButton* change_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    TKeyWnd* key_wnd_ = nullptr;
    std::uint32_t chosen_color_ = 0;
};

// Windows colours (0x00BBGGRR) and Qt's.
QColor FromWindowsColor(std::uint32_t windows_color);
std::uint32_t ToWindowsColor(const QColor& color);

// Puts a top-level window in the middle of the screen it is on (or the primary screen).
void CenterOnScreen(QWidget* window);

}  // namespace kivo
