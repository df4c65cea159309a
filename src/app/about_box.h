// The About box: the program's icon, name and version, and "OK".
#pragma once

#include <QDialog>

namespace kivo {

inline constexpr const char* kVersionText = "Version 0.1";

class TAboutBox : public QDialog {
    Q_OBJECT
  public:
    explicit TAboutBox(QWidget* parent = nullptr);

  protected:
    // The box opens in the middle of the screen, not of the main window.
    void showEvent(QShowEvent* event) override;
};

}  // namespace kivo
