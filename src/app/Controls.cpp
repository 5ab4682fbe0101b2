#include "app/Controls.h"

#include <QFontInfo>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QStyle>
#include <algorithm>

#include "app/PaintPacer.h"
#include "core/Orodja.h"
#include "platform/Clock.h"

QColor ToQColor(TColor c) {
    if (c == clBtnFace) return QPalette().color(QPalette::Button);
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

// ---------------------------------------------------------------- TLabel

TLabel::TLabel(QWidget* parent, const QString& caption, bool autoSize)
    : QLabel(parent), autoSize_(autoSize) {
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setOpenExternalLinks(false);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetCaption(caption);
}

void TLabel::SetCaption(const QString& caption) {
    if (caption == text()) return;
    // Qt posts the parent a layout request for every new text of a shown
    // label whose size may vary: two events more for the event loop at every
    // reading, and the window has no layouts. A shown label is held at its
    // size, and sized from then on by holding it at the new one.
    if (isVisible() && (minimumSize() != size() || maximumSize() != size())) setFixedSize(size());
    // Labels change on every reading, and measuring a text means shaping it.
    // A text as long as the last one in a fixed-pitch face (the raw frame,
    // the CRC) is as wide; one line is measured directly, several times
    // cheaper than a full text layout through sizeHint().
    const bool sameWidth =
        !autoSize_ || (caption.size() == text().size() && !caption.contains(u'\n') &&
                       QFontInfo(font()).fixedPitch());
    setText(caption);
    if (sameWidth) return;
    const int w = caption.contains(u'\n')
                      ? sizeHint().width()
                      : fontMetrics().horizontalAdvance(caption) + 2 * (margin() + frameWidth());
    if (w == width()) return;
    if (minimumSize() == maximumSize())
        setFixedSize(w, height());
    else
        resize(w, height());
}

void TLabel::SetFontColor(TColor c) {
    fontColor_ = c;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, ToQColor(c));
    setPalette(p);
}

void TLabel::RepaintNow() {
    TPaintPacer::PaintNow(this);
}

// ---------------------------------------------------------------- TPanel

TPanel::TPanel(QWidget* parent, TColor color, Bevel bevel, const QString& caption)
    : QFrame(parent), color_(color), bevel_(bevel), caption_(caption) {}

void TPanel::SetColor(TColor c) {
    if (c == color_) return;
    color_ = c;
    update();
}

void TPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, ToQColor(color_));
    const QColor shadow = palette().color(QPalette::Dark);
    const QColor light = palette().color(QPalette::Light);
    auto bevelRect = [&p](QRect b, const QColor& topLeft, const QColor& bottomRight) {
        p.setPen(topLeft);
        p.drawLine(b.topLeft(), b.topRight());
        p.drawLine(b.topLeft(), b.bottomLeft());
        p.setPen(bottomRight);
        p.drawLine(b.bottomLeft(), b.bottomRight());
        p.drawLine(b.topRight(), b.bottomRight());
    };
    if (bevel_ != Bevel::None) bevelRect(r, shadow, light);
    if (bevel_ == Bevel::RaisedInnerLoweredOuter)
        bevelRect(r.adjusted(1, 1, -1, -1), light, shadow);
    if (!caption_.isEmpty()) {
        p.setPen(palette().color(QPalette::WindowText));
        p.setFont(font());
        p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, caption_);
    }
}

// ---------------------------------------------------------------- TRadioGroup

TRadioGroup::TRadioGroup(QWidget* parent, const QString& caption, const QStringList& items)
    : QGroupBox(caption, parent), items_(items) {
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items.at(i), this);
        b->setAutoExclusive(false);  // the group decides, so -1 can clear all
        connect(b, &QRadioButton::clicked, this, [this, i] {
            SetItemIndex(i);
            buttons_.at(static_cast<std::size_t>(i))->setChecked(itemIndex_ == i);
        });
        buttons_.push_back(b);
    }
    layoutButtons();
}

void TRadioGroup::SetItemIndex(int index) {
    if (index < -1 || index >= static_cast<int>(buttons_.size())) index = -1;
    if (index == itemIndex_) return;
    itemIndex_ = index;
    for (int i = 0; i < static_cast<int>(buttons_.size()); ++i)
        buttons_.at(static_cast<std::size_t>(i))->setChecked(i == index);
    if (index >= 0) emit Click();
}

void TRadioGroup::resizeEvent(QResizeEvent* e) {
    QGroupBox::resizeEvent(e);
    layoutButtons();
}

void TRadioGroup::layoutButtons() {
    // Items spread evenly over the height below the caption, one column.
    const int n = static_cast<int>(buttons_.size());
    if (n == 0) return;
    const int top = fontMetrics().height();
    const int avail = height() - top - 4;
    for (int i = 0; i < n; ++i) {
        const int y = top + avail * i / n;
        const int h = avail / n;
        buttons_.at(static_cast<std::size_t>(i))->setGeometry(8, y, width() - 16, h);
    }
}

// ---------------------------------------------------------------- TSpinEdit

TSpinEdit::TSpinEdit(QWidget* parent, int value, int minValue, int maxValue, int increment)
    : QAbstractSpinBox(parent), min_(minValue), max_(maxValue), step_(increment) {
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setKeyboardTracking(true);
    lineEdit()->setText(QString::number(value));
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] { emit Change(); });
}

QString TSpinEdit::Text() const {
    return lineEdit()->text();
}

void TSpinEdit::SetText(const QString& t) {
    lineEdit()->setText(t);
}

int TSpinEdit::Value() const {
    // Only a plain decimal number counts; anything else reads as the minimum.
    bool ok = false;
    const QString t = Text();
    const int v = ParseDecimalInt(t, &ok);
    return ok ? v : min_;
}

void TSpinEdit::SetValue(int v) {
    SetText(QString::number(v));
}

void TSpinEdit::stepBy(int steps) {
    const long long v = static_cast<long long>(Value()) + static_cast<long long>(steps) * step_;
    SetValue(static_cast<int>(std::clamp<long long>(v, min_, max_)));
}

QAbstractSpinBox::StepEnabled TSpinEdit::stepEnabled() const {
    const int v = Value();
    StepEnabled s = StepNone;
    if (v < max_) s |= StepUpEnabled;
    if (v > min_) s |= StepDownEnabled;
    return s;
}

QValidator::State TSpinEdit::validate(QString&, int&) const {
    // Accept every keystroke: the value is whatever the text reads as.
    return QValidator::Acceptable;
}

void TSpinEdit::focusOutEvent(QFocusEvent* e) {
    QAbstractSpinBox::focusOutEvent(e);
    // Text that is no number stays as typed (it already reads as the minimum).
    bool ok = false;
    const int v = ParseDecimalInt(Text(), &ok);
    if (ok && std::clamp(v, min_, max_) != v) SetValue(std::clamp(v, min_, max_));
}

// ---------------------------------------------------------------- TTimer

TTimer::TTimer(QObject* parent, int interval, bool precise)
    : QObject(parent), interval_(interval), precise_(precise) {
    // Precise: a coarse Qt timer may fire up to 5 % early or late. Single
    // shot: every wake-up is set from the deadline, not from the last one.
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &TTimer::fired);
}

void TTimer::SetEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    restart();
}

void TTimer::SetInterval(int ms) {
    if (ms == interval_) return;
    interval_ = ms;
    restart();
}

void TTimer::restart() {
    ++generation_;
    timer_.stop();
    if (!Armed()) return;
    startUs_ = platform::TickUs();
    deadlineUs_ = startUs_ + static_cast<std::uint64_t>(interval_) * 1000u;
    arm(startUs_);
}

void TTimer::arm(std::uint64_t nowUs) {
    const std::uint64_t leftUs = deadlineUs_ > nowUs ? deadlineUs_ - nowUs : 0;
    // Whole milliseconds: a precise timer wakes short of the deadline and
    // sleeps the rest, the others wake at it or after it.
    const std::uint64_t upMs = (leftUs + 999u) / 1000u;
    const std::uint64_t ms = precise_ && upMs > 0 ? upMs - 1 : upMs;
    timer_.start(static_cast<int>(std::min<std::uint64_t>(ms, 0x7FFFFFFF)));
}

void TTimer::fired() {
    if (!Armed()) return;
    std::uint64_t now = platform::TickUs();
    if (now < deadlineUs_) {
        const std::uint64_t leftUs = deadlineUs_ - now;
        // Woken early: a precise timer sleeps the last two milliseconds at
        // most, anything longer is waited for in the event loop.
        if (!precise_ || leftUs > 2000u) {
            arm(now);
            return;
        }
        platform::SleepUs(static_cast<unsigned>(leftUs));
    }
    const std::uint64_t generation = generation_;
    emit Timer();
    // Still running and not re-armed by the handler: the next tick comes one
    // interval after this one was due.
    if (generation == generation_ && Armed()) {
        startUs_ = deadlineUs_;
        deadlineUs_ += static_cast<std::uint64_t>(interval_) * 1000u;
        now = platform::TickUs();
        // A handler that ran past the next tick: no tick piles up behind it.
        if (deadlineUs_ <= now) {
            startUs_ = now;
            deadlineUs_ = now + static_cast<std::uint64_t>(interval_) * 1000u;
        }
        arm(now);
    }
}
