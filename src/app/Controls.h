// The few control behaviours the window logic relies on that Qt's stock
// widgets do not have: colours as 0x00BBGGRR values, radio groups that fire
// their click when the program selects an item, spin edits whose value is
// their text, and timers for which interval 0 means "never ticks".
#pragma once

#include <QAbstractSpinBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QObject>
#include <QRadioButton>
#include <QTimer>
#include <cstdint>
#include <vector>

// 24-bit colours stored as 0x00BBGGRR, plus the system button face.
using TColor = std::uint32_t;
inline constexpr TColor clBtnFace = 0xFF00000Fu;  // resolved from the palette
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLightRed = 0x5B5BFF;
inline constexpr TColor clOrange = 0x00AAFF;
inline constexpr TColor clLightGreen = 0x00FF00;
inline constexpr TColor clDarkGreen = 0x008000;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clWhite = 0xFFFFFF;

QColor ToQColor(TColor c);

// A label that never interprets its text as markup: replies of the box end up
// in labels, and a rich-text label would render <b> or load <img src=...>.
class TLabel : public QLabel {
    Q_OBJECT
public:
    TLabel(QWidget* parent, const QString& caption, bool autoSize = true);
    QString Caption() const { return text(); }
    void SetCaption(const QString& caption);
    TColor FontColor() const { return fontColor_; }
    void SetFontColor(TColor c);
    // Paint now, so the text shows while a blocking exchange follows.
    void RepaintNow();

private:
    bool autoSize_;
    TColor fontColor_ = 0;
};

// A panel with a colour, an optional centred caption and bevels.
class TPanel : public QFrame {
    Q_OBJECT
public:
    enum class Bevel { None, Lowered, RaisedInnerLoweredOuter };
    TPanel(QWidget* parent, TColor color, Bevel bevel, const QString& caption = {});
    TColor Color() const { return color_; }
    void SetColor(TColor c);
    QString Caption() const { return caption_; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    TColor color_;
    Bevel bevel_;
    QString caption_;
};

// A group of radio buttons stacked in one column. Setting ItemIndex from the
// program to another item checks it and fires Click once, synchronously,
// also while the group is disabled; setting -1 clears it and fires nothing.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(QWidget* parent, const QString& caption, const QStringList& items);
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);
    QStringList Items() const { return items_; }
    QRadioButton* Button(int i) const { return buttons_.at(i); }

signals:
    void Click();

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    void layoutButtons();
    QStringList items_;
    std::vector<QRadioButton*> buttons_;
    int itemIndex_ = -1;
};

// A spin edit whose value is its text read as a decimal integer (empty or
// non-numeric text counts as the minimum). Every change of the text fires
// Change; an out-of-range value is pulled into range only when the box loses
// the focus.
class TSpinEdit : public QAbstractSpinBox {
    Q_OBJECT
public:
    TSpinEdit(QWidget* parent, int value, int minValue, int maxValue, int increment);
    int Value() const;
    void SetValue(int v);
    QString Text() const;
    void SetText(const QString& t);  // as if typed
    int MinValue() const { return min_; }
    int MaxValue() const { return max_; }
    int Increment() const { return step_; }
    void stepBy(int steps) override;

signals:
    void Change();

protected:
    StepEnabled stepEnabled() const override;
    QValidator::State validate(QString& input, int& pos) const override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    int min_, max_, step_;
};

// A timer with the semantics the state machine is written for: enabling
// starts a full interval, changing the interval of a running timer restarts
// it, and interval 0 never ticks (a QTimer with 0 would fire continuously).
// No tick ever comes before its full interval has passed on the platform
// clock: Qt's own timers may fire a little early (coarse ones by up to 5 %),
// so every wake-up is checked against the deadline.
class TTimer : public QObject {
    Q_OBJECT
public:
    // A precise timer also comes on time to the microsecond (see precise_);
    // the others may come up to a millisecond late, never early.
    explicit TTimer(QObject* parent, int interval = 1000, bool precise = false);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on);
    int Interval() const { return interval_; }
    void SetInterval(int ms);
    // True when a tick will come: enabled with a non-zero interval.
    bool Armed() const { return enabled_ && interval_ > 0; }
    // The platform clock (microseconds) at which the running interval began:
    // when the timer was enabled or its interval changed, or, for a timer
    // left running, when its previous tick was due.
    std::uint64_t IntervalStartUs() const { return startUs_; }

signals:
    void Timer();

private:
    void restart();
    void fired();
    // Sets the Qt timer for the deadline, from `nowUs`.
    void arm(std::uint64_t nowUs);
    QTimer timer_;
    int interval_;
    bool enabled_ = false;
    // A precise timer is armed a millisecond short and sleeps the rest to its
    // deadline: Qt rounds every wait up to a whole millisecond, which would
    // make each tick up to 1 ms late. The others never block the thread: a
    // wake-up before the deadline sets the timer again for the rest.
    bool precise_;
    std::uint64_t startUs_ = 0;
    std::uint64_t deadlineUs_ = 0;
    std::uint64_t generation_ = 0;  // bumped by every restart
};
