#include "app/debug_window.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QInputDialog>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <string>
#include <vector>

#include "ui/disasm.h"

namespace kivo {

namespace {

QString Lines(const std::vector<std::string>& lines) {
    QString text;
    for (const std::string& line : lines) {
        if (!text.isEmpty()) text += '\n';
        text += QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
    }
    return text;
}

// A pane's frame and text margins, on each axis.
constexpr int kPaneChrome = 2 * 1 + 2 * 3;

QPlainTextEdit* Pane(QWidget* parent, const QRect& geometry, bool scroll_bars) {
    auto* pane = new QPlainTextEdit(parent);
    pane->setGeometry(geometry);
    pane->setReadOnly(true);
    pane->setLineWrapMode(QPlainTextEdit::NoWrap);
    pane->setFont(DebuggerFont());
    pane->setFrameShape(QFrame::Box);
    pane->setLineWidth(1);
    pane->document()->setDocumentMargin(3);
    const Qt::ScrollBarPolicy policy = scroll_bars ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff;
    pane->setHorizontalScrollBarPolicy(policy);
    pane->setVerticalScrollBarPolicy(policy);
    return pane;
}

}  // namespace

QFont DebuggerFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (QFontDatabase::families().contains("Courier New")) font.setFamily("Courier New");
    font.setFixedPitch(true);
    font.setStyleHint(QFont::TypeWriter);
    // The largest size at which the memory pane (257 x 249) shows its 16 lines of 34 characters
    // whole, and the code pane (225 wide) the longest mnemonic line of 29.
    for (int pixels = 13; pixels > 8; --pixels) {
        font.setPixelSize(pixels);
        const QFontMetrics metrics(font);
        if (metrics.lineSpacing() * kMemoryViewLines + kPaneChrome <= 249 &&
            metrics.horizontalAdvance(QString(34, 'W')) + kPaneChrome <= 257 &&
            metrics.horizontalAdvance(QString(29, 'W')) + kPaneChrome <= 225) {
            break;
        }
    }
    return font;
}

TDebugWnd1::TDebugWnd1(TGBSYSF& gb, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint), gb_(gb) {
    setWindowTitle("Debug");
    setFixedSize(512, 435);
    setModal(true);
    memo1_ = Pane(this, QRect(8, 8, 257, 249), false);
    memo2_ = Pane(this, QRect(272, 8, 225, 249), false);
    memo3_ = Pane(this, QRect(8, 264, 489, 161), true);
    memo1_->installEventFilter(this);
    memo2_->installEventFilter(this);
}

void TDebugWnd1::RefreshMem() {
    memo1_->setPlainText(Lines(MemoryLines(gb_, mem_address, kMemoryViewLines)));
}

void TDebugWnd1::RefreshCode() {
    memo2_->setPlainText(Lines(CodeLines(gb_, code_address, kCodeViewLines)));
}

void TDebugWnd1::RefreshReg() {
    memo3_->setPlainText(Lines(RegisterLines(gb_)));
}

void TDebugWnd1::Refresh() {
    RefreshMem();
    RefreshCode();
    RefreshReg();
}

void TDebugWnd1::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Refresh();
}

void TDebugWnd1::Goto(u16* address) {
    const QString prefill = QString::fromStdString(GotoPrefill(*address));
    std::optional<QString> reply;
    if (ask_goto) {
        reply = ask_goto(prefill);
    } else {
        bool ok = false;
        const QString text = QInputDialog::getText(
            this, "Dialogue", "Goto Address (0000-FFFF) :", QLineEdit::Normal, prefill, &ok);
        if (ok) reply = text;
    }
    if (!reply) return;  // Cancel: nothing changes
    if (const std::optional<u16> parsed = ParseGotoReply(reply->toStdString())) *address = *parsed;
    Refresh();
}

bool TDebugWnd1::PaneKey(DebugPane pane, int qt_key) {
    u16* address = pane == DebugPane::Memory ? &mem_address : &code_address;
    DebugKey key;
    switch (qt_key) {
        case Qt::Key_Up: key = DebugKey::Up; break;
        case Qt::Key_Down: key = DebugKey::Down; break;
        case Qt::Key_PageUp: key = DebugKey::PageUp; break;
        case Qt::Key_PageDown: key = DebugKey::PageDown; break;
        case Qt::Key_G: Goto(address); return true;
        default: return false;
    }
    *address = MoveViewAddress(pane, key, *address);
    Refresh();
    return true;
}

bool TDebugWnd1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && (watched == memo1_ || watched == memo2_)) {
        // Modifiers are not consulted: Shift+G opens the go-to dialog too.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (PaneKey(watched == memo1_ ? DebugPane::Memory : DebugPane::Code, key)) return true;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace kivo
