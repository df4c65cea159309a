#include "app/options_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <algorithm>
#include <climits>

#include "app/vk_keys.h"
#include "ui/keys.h"
#include "ui/options.h"

namespace kivo {

namespace {

// The options dialog's client area, and the key capture dialog's.
constexpr QSize kOptionsSize{558, 392};
constexpr QSize kKeyWndSize{314, 224};

struct ComboDef {
    const char* key;
    const char* label;
    std::initializer_list<const char*> items;
};

// The left column's drop-down lists, top to bottom; each item's index is the option's value.
const ComboDef kCombos[] = {
    {"system_type", "System Type", {"GameBoy Classic (GB)", "GameBoy Color (CGB)"}},
    {"system_speed_restriction", "Speed Restriction", {"None", "Normal Speed", "Double Speed"}},
    {"system_thread_priority",
     "Thread Priority",
     {"Lowest", "Lower", "Normal", "Higher", "Highest"}},
    {"screen_size", "Screen Size", {"Window Size", "1X", "2X", "3X", "4X"}},
    {"screen_filter", "Stretch Texture Filter", {"None", "Point", "Linear"}},
    {"system_force_cgbmode", "CGB - CGB Mode", {"Automatic", "Always OFF", "Always ON"}},
};

struct CheckDef {
    const char* key;
    const char* text;
    int gap_before;  // pixels between this box and the one above it, beyond the line pitch
};

// The right column's check boxes, top to bottom, in four groups.
const CheckDef kChecks[] = {
    {"sound_enable", "Sound - Enable", 0},
    {"sound_select_CH1", "Sound - Channel 1", 0},
    {"sound_select_CH2", "Sound - Channel 2", 0},
    {"sound_select_CH3", "Sound - Channel 3", 0},
    {"sound_select_CH4", "Sound - Channel 4", 0},
    {"screen_enable", "Screen - Enable", 10},
    {"screen_layer_bg", "Screen - BackGround", 0},
    {"screen_layer_win", "Screen - Window", 0},
    {"screen_layer_sprites", "Screen - Sprites", 0},
    {"system_pause_when_inactive_app", "Pause if inactive application", 10},
    {"system_show_performances", "Show Performances", 0},
    // Below the dialog's own switches, in the room above "OK" and "Cancel".
    {"system_exact_hardware", "Exact hardware", 10},
};

QString FromBytes(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

constexpr const char* kColorKey = "screen_ClientColor";
constexpr const char* kFrameRateKey = "Screen_refresh_ratio_index";

}  // namespace

QColor FromWindowsColor(std::uint32_t c) {
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                  static_cast<int>((c >> 16) & 0xFF));
}

std::uint32_t ToWindowsColor(const QColor& color) {
    return static_cast<std::uint32_t>(color.red()) |
           (static_cast<std::uint32_t>(color.green()) << 8) |
           (static_cast<std::uint32_t>(color.blue()) << 16);
}

void CenterOnScreen(QWidget* window) {
    const QScreen* display = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!display) return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(display->availableGeometry().center());
    window->move(frame.topLeft());
}

// ---- TKeyWnd ----

TKeyWnd::TKeyWnd(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setWindowTitle("Press any key...");
    setFixedSize(kKeyWndSize);
    setModal(true);
}

bool TKeyWnd::event(QEvent* event) {
    // Taken before the dialog's own handling, so Escape, Enter and Tab are captured like any other
    // key rather than cancelling, accepting or moving the focus.
    if (event->type() == QEvent::KeyPress) {
        const auto* key_event = static_cast<QKeyEvent*>(event);
        key = VirtualKeyCode(key_event->key(), key_event->modifiers());
        accept();
        return true;
    }
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();  // no shortcut of another window fires while a key is being captured
        return true;
    }
    return QDialog::event(event);
}

void TKeyWnd::closeEvent(QCloseEvent* event) {
    // Only a key closes it (accept() hides it without a close event).
    event->ignore();
}

// ---- TOptionsDlg1 ----

TOptionsDlg1::TOptionsDlg1(TGBSYSF& gb, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), gb_(gb) {
    setWindowTitle("Options");
    setFixedSize(kOptionsSize);
    setModal(true);

    // Left column: a label at x 8, its control at x 150, one row every 27 pixels.
    static constexpr int kLabelX = 8, kControlX = 150, kControlW = 170, kRow = 27, kRowH = 23;
    int y = 8;
    auto label = [&](const char* text, int height) {
        auto* l = new QLabel(QString::fromLatin1(text), this);
        l->setGeometry(kLabelX, y, kControlX - kLabelX - 4, height);
    };
    for (const ComboDef& def : kCombos) {
        label(def.label, kRowH);
        auto* combo = new QComboBox(this);
        for (const char* item : def.items) combo->addItem(QString::fromLatin1(item));
        combo->setGeometry(kControlX, y, kControlW, kRowH);
        combos_[def.key] = combo;
        y += kRow;
    }

    label("Window Color", 25);
    choose_ = new QPushButton("Choose...", this);
    choose_->setGeometry(kControlX, y, 90, 25);
    QFont bold = choose_->font();
    bold.setBold(true);
    choose_->setFont(bold);
    connect(choose_, &QPushButton::clicked, this, &TOptionsDlg1::BitBtn1Click);
    y += 31;

    label("Frame Refresh Rate", 30);
    frame_rate_ = new QSlider(Qt::Horizontal, this);
    frame_rate_->setRange(1, 10);
    frame_rate_->setTickInterval(1);
    frame_rate_->setSingleStep(1);
    frame_rate_->setPageStep(1);
    frame_rate_->setTickPosition(QSlider::TicksBelow);
    frame_rate_->setGeometry(kControlX, y, kControlW, 30);
    y += 36;

    // The key list spans the column; "Change..." sits under its right edge.
    constexpr int kListRight = kControlX + kControlW;
    key_list_ = new QListWidget(this);
    key_list_->setSelectionMode(QAbstractItemView::SingleSelection);
    key_list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    key_list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    for (int i = 0; i < 8; ++i) key_list_->addItem(QString());
    key_list_->setGeometry(kLabelX, y, kListRight - kLabelX, 392 - 8 - 30 - y);
    change_ = new QPushButton("Change...", this);
    change_->setGeometry(kListRight - 90, 392 - 8 - 26, 90, 26);
    change_->setAutoDefault(false);
    connect(change_, &QPushButton::clicked, this, &TOptionsDlg1::Button1Click);

    // Right column: the check boxes from the top, "OK" and "Cancel" at the bottom right.
    constexpr int kCheckX = 350, kCheckPitch = 22;
    y = 8;
    for (const CheckDef& def : kChecks) {
        y += def.gap_before;
        auto* box = new QCheckBox(QString::fromLatin1(def.text), this);
        box->setGeometry(kCheckX, y, 558 - kCheckX - 8, 20);
        checks_[def.key] = box;
        y += kCheckPitch;
    }
    ok_ = new QPushButton("OK", this);
    cancel_ = new QPushButton("Cancel", this);
    ok_->setGeometry(558 - 8 - 90 - 8 - 90, 392 - 8 - 26, 90, 26);
    cancel_->setGeometry(558 - 8 - 90, 392 - 8 - 26, 90, 26);
    ok_->setDefault(true);
    cancel_->setAutoDefault(false);
    choose_->setAutoDefault(false);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    key_wnd_ = new TKeyWnd(this);
}

void TOptionsDlg1::keyPressEvent(QKeyEvent* event) {
    // A key held down to bind it in the capture dialog repeats into this dialog once the capture
    // closes: Escape or Enter held that way must not close the options too.
    if (event->isAutoRepeat()) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TOptionsDlg1::SetChosenColor(std::uint32_t windows_color) {
    chosen_color_ = windows_color & 0xFFFFFF;
    QPalette palette = choose_->palette();
    const QColor color = FromWindowsColor(chosen_color_);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::WindowText, color);
    choose_->setPalette(palette);
}

void TOptionsDlg1::OptionsSetWnd() {
    for (const OptionDef& option : Options()) {
        const u32 value = option.get(gb_);
        if (auto combo = combos_.find(option.key); combo != combos_.end()) {
            // A value outside the items shows no selection.
            combo->second->setCurrentIndex(
                value < static_cast<u32>(combo->second->count()) ? static_cast<int>(value) : -1);
        } else if (auto check = checks_.find(option.key); check != checks_.end()) {
            check->second->setChecked(value != 0);
        } else if (std::string(option.key) == kFrameRateKey) {
            // The track bar keeps its position within 1-10.
            frame_rate_->setValue(static_cast<int>(std::min<u32>(value, INT_MAX)));
        } else if (std::string(option.key) == kColorKey) {
            SetChosenColor(value);
        }
    }
    OptionsSetKeys();
}

void TOptionsDlg1::OptionsGetWnd() {
    for (const OptionDef& option : Options()) {
        if (auto combo = combos_.find(option.key); combo != combos_.end()) {
            option.set(gb_, static_cast<u32>(combo->second->currentIndex()));
        } else if (auto check = checks_.find(option.key); check != checks_.end()) {
            option.set(gb_, check->second->isChecked() ? 1 : 0);
        } else if (std::string(option.key) == kFrameRateKey) {
            option.set(gb_, static_cast<u32>(frame_rate_->value()));
        } else if (std::string(option.key) == kColorKey) {
            option.set(gb_, chosen_color_);
        }
    }
}

void TOptionsDlg1::OptionsSetKeys() {
    for (int i = 0; i < 8; ++i) {
        // Key names are bytes; those above 0x7F show as Latin-1.
        key_list_->item(i)->setText(FromBytes(KeyListLine(gb_, i)));
    }
}

void TOptionsDlg1::BitBtn1Click() {
    const QColor initial = FromWindowsColor(chosen_color_);
    const QColor chosen =
        choose_color ? choose_color(initial) : QColorDialog::getColor(initial, this, "Color");
    if (chosen.isValid()) SetChosenColor(ToWindowsColor(chosen));
}

void TOptionsDlg1::Button1Click() {
    CenterOnScreen(key_wnd_);
    const int result = exec_key_wnd ? exec_key_wnd(*key_wnd_) : key_wnd_->exec();
    if (result != QDialog::Accepted) return;
    const QList<QListWidgetItem*> selected = key_list_->selectedItems();
    const int line = selected.isEmpty() ? -1 : key_list_->row(selected.front());
    gb_.JoyPad_Keys[line & 7] = key_wnd_->key;
    OptionsSetKeys();
}

}  // namespace kivo
