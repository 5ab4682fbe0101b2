#include "app/Controls.h"

#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QStyle>
#include <algorithm>

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
    setText(caption);
    if (!autoSize_) return;
    // Labels change on every reading: measuring one line directly is several
    // times cheaper than a full text layout through sizeHint().
    const int w = caption.contains(u'\n')
                      ? sizeHint().width()
                      : fontMetrics().horizontalAdvance(caption) + 2 * (margin() + frameWidth());
    if (w != width()) resize(w, height());
}

void TLabel::SetFontColor(TColor c) {
    fontColor_ = c;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, ToQColor(c));
    setPalette(p);
}

void TLabel::RepaintNow() {
    repaint();
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
    timer_.setTimerType(precise ? Qt::PreciseTimer : Qt::CoarseTimer);
    timer_.setSingleShot(precise);
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
    if (!enabled_ || interval_ <= 0) return;
    if (!precise_) {
        timer_.start(interval_);
        return;
    }
    deadlineUs_ = platform::TickUs() + static_cast<std::uint64_t>(interval_) * 1000u;
    timer_.start(interval_ - 1);
}

void TTimer::fired() {
    if (!enabled_ || interval_ <= 0) return;
    if (!precise_) {
        emit Timer();
        return;
    }
    const std::uint64_t now = platform::TickUs();
    if (deadlineUs_ > now)
        platform::SleepUs(
            static_cast<unsigned>(std::min<std::uint64_t>(deadlineUs_ - now, 1000000u)));
    const std::uint64_t generation = generation_;
    deadlineUs_ += static_cast<std::uint64_t>(interval_) * 1000u;
    emit Timer();
    // Still running and not re-armed by the handler: the next tick comes one
    // interval after this one was due.
    if (generation == generation_ && enabled_ && interval_ > 0) {
        const std::uint64_t after = platform::TickUs();
        // A handler that ran past the next tick: no tick piles up behind it.
        if (deadlineUs_ <= after)
            deadlineUs_ = after + static_cast<std::uint64_t>(interval_) * 1000u;
        const std::uint64_t leftMs = deadlineUs_ > after ? (deadlineUs_ - after) / 1000u : 0;
        timer_.start(static_cast<int>(leftMs > 0 ? leftMs - 1 : 0));
    }
}
