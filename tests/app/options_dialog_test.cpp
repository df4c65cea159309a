// The options dialog as the user drives it from "Options...": every control round trips its
// option, out-of-range values, Cancel, what is applied on close, "Change..." and the key capture
// dialog.
#include "app/options_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <map>
#include <string>

#include "app/screen_view.h"
#include "app/window_fixture.h"
#include "ui/options.h"

namespace kivo {
namespace {

using OptionsTest = MainWindowTest;

// Every option but the key bindings is set through its control to a value other than its
// default, OK stores them all and applies them, and the next opening shows them.
TEST_F(OptionsTest, EveryControlRoundTripsItsOption) {
    // The combo boxes to these items, the frame ratio to 7, a colour, every check box flipped.
    const std::map<std::string, u32> combos = {{"system_type", 0},
                                               {"system_force_cgbmode", 2},
                                               {"system_thread_priority", 4},
                                               {"system_speed_restriction", 2},
                                               {"screen_size", 3},
                                               {"screen_filter", 1}};
    std::map<std::string, u32> wanted = combos;
    wanted["Screen_refresh_ratio_index"] = 7;
    wanted["screen_ClientColor"] = 0x563412;
    for (const OptionDef& option : Options()) {
        if (std::string(option.key).rfind("JoyPad_Keys_", 0) == 0) continue;
        if (!wanted.count(option.key)) wanted[option.key] = option.default_value == 0;
        ASSERT_NE(option.default_value, wanted.at(option.key)) << option.key;
    }
    window->exec_dialog = [&](QDialog& dialog) {
        auto& options = dynamic_cast<TOptionsDlg1&>(dialog);
        options.choose_color = [](const QColor& initial) {
            EXPECT_EQ(initial, QColor(0, 0, 255));  // preset to the current colour
            return QColor(0x12, 0x34, 0x56);
        };
        for (const auto& [key, value] : wanted) {
            if (key == "Screen_refresh_ratio_index") {
                options.frame_rate()->setValue(static_cast<int>(value));
            } else if (key == "screen_ClientColor") {
                options.choose_button()->click();
            } else if (combos.count(key)) {
                options.combo(key)->setCurrentIndex(static_cast<int>(value));
            } else {
                options.check(key)->setChecked(value != 0);
            }
        }
        options.ok_button()->click();
        return dialog.result();
    };
    window->Options1Click();
    for (const OptionDef& option : Options()) {
        if (wanted.count(option.key)) {
            EXPECT_EQ(option.get(window->machine()), wanted.at(option.key)) << option.key;
        }
    }
    EXPECT_EQ(window->options_dialog().chosen_color(), 0x563412u);

    // Applied on close: the colour, the frame ratio and the priority.
    window->show();
    EXPECT_EQ(window->screen().grab().toImage().pixelColor(2, 2), QColor(0x12, 0x34, 0x56));
    EXPECT_EQ(window->machine().frame_skip_period, 7);
    EXPECT_EQ(window->worker().requested_priority(), 4u);

    // The next opening shows the stored values.
    window->exec_dialog = [&](QDialog& dialog) {
        auto& options = dynamic_cast<TOptionsDlg1&>(dialog);
        EXPECT_EQ(options.combo("screen_size")->currentText(), "3X");
        EXPECT_EQ(options.frame_rate()->value(), 7);
        EXPECT_FALSE(options.check("sound_select_CH3")->isChecked());
        return static_cast<int>(QDialog::Rejected);
    };
    window->Options1Click();
}

// screen_size 7 shows no selection and accepting stores -1; a frame ratio of 25 shows 10 and
// accepting stores 10.
TEST_F(OptionsTest, OutOfRangeValuesShowNothingOrTheNearestAndOkStoresWhatIsShown) {
    window->machine().screen_size = 7;
    window->machine().Screen_refresh_ratio_index = 25;
    window->machine().system_thread_priority = 9;
    window->exec_dialog = [&](QDialog& dialog) {
        auto& options = dynamic_cast<TOptionsDlg1&>(dialog);
        EXPECT_EQ(options.combo("screen_size")->currentIndex(), -1);
        EXPECT_EQ(options.combo("system_thread_priority")->currentIndex(), -1);
        EXPECT_EQ(options.frame_rate()->value(), 10);
        // A repeat of Escape or Enter held down to bind it in the capture dialog does not close
        // the dialog; Enter accepts it.
        dialog.show();
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
            QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QString(), /*autorep=*/true);
            QApplication::sendEvent(&dialog, &repeat);
            EXPECT_TRUE(dialog.isVisible()) << key;
        }
        QTest::keyClick(&dialog, Qt::Key_Return);
        return dialog.result();
    };
    window->Options1Click();
    EXPECT_EQ(window->machine().screen_size.load(), 0xFFFFFFFFu);
    EXPECT_EQ(window->machine().system_thread_priority, 0xFFFFFFFFu);
    EXPECT_EQ(window->machine().Screen_refresh_ratio_index, 10u);
    EXPECT_EQ(window->worker().requested_priority(), 4u);  // the nearest level
}

// Cancel (the button, Escape) keeps every option, but the colour, frame ratio, presenter
// rectangle and priority are applied again from the unchanged options.
TEST_F(OptionsTest, CancelKeepsTheOptionsButAppliesThemAgain) {
    TGBSYSF& gb = window->machine();
    window->show();
    for (const bool escape : {false, true}) {
        gb.screen_ClientColor = 0x00FF00;  // changed behind the window's back
        gb.Screen_refresh_ratio_index = 3;
        gb.system_thread_priority = 0;
        gb.dest_rect_dirty = false;
        window->exec_dialog = [&](QDialog& dialog) {
            auto& options = dynamic_cast<TOptionsDlg1&>(dialog);
            options.check("sound_enable")->setChecked(false);
            options.combo("screen_size")->setCurrentIndex(4);
            options.choose_color = [](const QColor&) { return QColor(255, 0, 0); };
            options.choose_button()->click();
            if (escape) {
                dialog.show();
                QTest::keyClick(&dialog, Qt::Key_Escape);
            } else {
                options.cancel_button()->click();
            }
            return dialog.result();
        };
        window->Options1Click();
        EXPECT_EQ(gb.sound_enable, true) << escape;
        EXPECT_EQ(gb.screen_size.load(), 0u) << escape;
        EXPECT_EQ(gb.screen_ClientColor, 0x00FF00u) << escape;
        EXPECT_EQ(window->screen().grab().toImage().pixelColor(2, 2), QColor(0, 255, 0)) << escape;
        EXPECT_EQ(gb.frame_skip_period, 3) << escape;
        EXPECT_TRUE(gb.dest_rect_dirty) << escape;
        EXPECT_EQ(window->worker().requested_priority(), 0u) << escape;
    }
}

// "Change..." binds the captured key to the selected line AND 7, Start with no selection; any
// key is captured, Escape, Enter and lone modifiers included, and the capture dialog closes on
// nothing else; the list shows it at once, and Cancel does not undo it.
TEST_F(OptionsTest, ChangeBindsTheSelectedLineAndSurvivesCancel) {
    struct Case {
        int row;  // -1: nothing selected
        Qt::Key key;
        int index;
        u32 code;
        const char* line;
    };
    const Case cases[] = {
        {-1, Qt::Key_Escape, 7, 0x1B, "Start : ESCAPE"},
        {2, Qt::Key_A, 2, 0x41, "Up : A"},
        {4, Qt::Key_Alt, 4, 0x12, "Button A : MENU"},
        {0, Qt::Key_Return, 0, 0x0D, "Right : RETURN"},
    };
    window->exec_dialog = [&](QDialog& dialog) {
        auto& options = dynamic_cast<TOptionsDlg1&>(dialog);
        for (const Case& c : cases) {
            options.key_list()->clearSelection();
            if (c.row >= 0) options.key_list()->item(c.row)->setSelected(true);
            options.exec_key_wnd = [&](TKeyWnd& capture) {
                capture.show();
                EXPECT_FALSE(capture.close()) << "closes only on a key";
                QTest::keyClick(&capture, c.key);
                EXPECT_FALSE(capture.isVisible());
                return capture.result();
            };
            options.change_button()->click();
            EXPECT_EQ(window->machine().JoyPad_Keys[c.index], c.code) << c.line;
            EXPECT_EQ(options.key_list()->item(c.index)->text().toStdString(), c.line);
        }
        options.cancel_button()->click();
        return dialog.result();
    };
    window->Options1Click();
    for (const Case& c : cases) EXPECT_EQ(window->machine().JoyPad_Keys[c.index], c.code) << c.line;
}

}  // namespace
}  // namespace kivo
