// The window at the screen's pace: while the reading loop runs as fast as the
// box answers, every reading still reaches every label, and the window is
// painted at most once a frame, never later than the frame after the change.
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimer>
#include <functional>

#include "app/PaintPacer.h"
#include "app/PositionChart.h"
#include "platform/Clock.h"
#include "window_fixture.h"

namespace {

// The paints one widget receives, with its text at each, while counting.
class PaintLog : public QObject {
public:
    explicit PaintLog(TLabel* label) : label_(label) { label->installEventFilter(this); }
    explicit PaintLog(QWidget* widget) { widget->installEventFilter(this); }
    bool counting = false;
    int paints = 0;
    QString lastText;
    QStringList texts;              // the text at each paint while counting
    std::function<void()> onPaint;  // called at each paint while counting

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            if (label_) lastText = label_->Caption();
            if (counting) {
                ++paints;
                texts << lastText;
                if (onPaint) onPaint();
            }
        }
        return false;
    }

private:
    TLabel* label_ = nullptr;
};

class Painting : public WindowTest {};

TEST_F(Painting, FullSpeedReadingPaintsOnceAFrameAndEveryReadingReachesTheLabels) {
    form->show();
    FindEncoder();
    form->Pages->setCurrentWidget(form->tabEncPos);
    form->cbPosPlot->setChecked(true);
    Box().SetSpeed(37);  // a new frame, and new texts, at every reading
    form->seEncoderReadInterval->SetText("1");
    QCoreApplication::processEvents();

    PaintLog position(form->lblPosUnit), hex(form->lblEncPosRawHex), bin(form->lblEncPosRawBin),
        chart(form->chartPosition);
    PaintLog* const logs[] = {&position, &hex, &bin, &chart};

    constexpr int kReadings = 400;
    QStringList shownHex, shownPosition;  // the labels' texts after each reading
    int zeroClicks = 0, readingsWhenClicked = 0, readingsWhenHandled = -1;
    QObject::connect(form->btnZero, &QPushButton::clicked, [&] {
        ++zeroClicks;
        readingsWhenHandled = static_cast<int>(shownHex.size());
    });
    const std::size_t framesBefore = Box().Frames().size();
    QEventLoop loop;
    // Connected after the window's own handler: it sees each tick's result.
    QObject::connect(form->tmrReadEncoder, &TTimer::Timer, &loop, [&] {
        shownHex << form->lblEncPosRawHex->Caption();
        shownPosition << form->lblPosUnit->Caption();
        if (shownHex.size() == kReadings / 2) {
            // A click as the window system delivers it, while reading flat out.
            readingsWhenClicked = static_cast<int>(shownHex.size());
            const QPointF at(5, 5);
            QCoreApplication::postEvent(
                form->btnZero,
                new QMouseEvent(QEvent::MouseButtonPress, at, form->btnZero->mapToGlobal(at),
                                Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
            QCoreApplication::postEvent(
                form->btnZero,
                new QMouseEvent(QEvent::MouseButtonRelease, at, form->btnZero->mapToGlobal(at),
                                Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
        }
        if (shownHex.size() == kReadings) loop.quit();
    });
    for (PaintLog* l : logs) l->counting = true;
    const std::uint64_t start = platform::TickUs();
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    const std::uint64_t end = platform::TickUs();
    for (PaintLog* l : logs) l->counting = false;
    form->tmrReadEncoder->SetEnabled(false);

    // Every reading's frame reached the raw-data label, in order.
    ASSERT_EQ(shownHex.size(), kReadings);
    const std::vector<std::string> frames = Box().Frames();
    ASSERT_GE(frames.size(), framesBefore + kReadings);
    for (int i = 0; i < kReadings; ++i)
        ASSERT_EQ(shownHex.at(i).toStdString(), frames.at(framesBefore + std::size_t(i)))
            << "reading " << i;
    EXPECT_EQ(shownPosition.removeDuplicates(), 0) << "the position text missed a reading";

    // At most one paint a frame, and painting went on all along.
    const TPaintPacer* pacer = form->findChild<TPaintPacer*>();
    ASSERT_NE(pacer, nullptr);
    const std::uint64_t frames_ = (end - start) / pacer->FrameUs();
    for (const PaintLog* l : logs) {
        EXPECT_LE(std::uint64_t(l->paints), frames_ + 1)
            << "over " << frames_ << " frames, " << kReadings << " readings";
        EXPECT_GE(std::uint64_t(l->paints), frames_ / 10) << "over " << frames_ << " frames";
    }
    // Nothing is left unpainted: the last reading's text reaches the screen.
    EXPECT_TRUE(WaitFor(
        [&] {
            return hex.lastText == shownHex.last() && position.lastText == shownPosition.last();
        },
        2000, [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }))
        << hex.lastText.toStdString() << " painted, " << shownHex.last().toStdString()
        << " read last";

    // The click was handled at once, between two readings.
    EXPECT_EQ(zeroClicks, 1);
    EXPECT_LE(readingsWhenHandled - readingsWhenClicked, 2);
}

// A window of one label, paced. Right after a paint, a change waits for the
// next frame, while a repaint that must show at once (the searches' status
// text before a blocking exchange) is painted before it returns.
TEST(PaintPacer, HoldsChangesToTheNextFrameButNotAPaintNow) {
    QWidget window;
    window.resize(200, 50);
    auto* label = new TLabel(&window, QStringLiteral("first"));
    TPaintPacer pacer(&window);
    PaintLog log(label);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return log.lastText == "first"; }, 2000,
                        [] { QCoreApplication::processEvents(); }));

    // Wait out the frame of the first paint, then paint: the next paint
    // would be due a frame later.
    std::uint64_t until = platform::TickUs() + pacer.FrameUs();
    WaitFor([&] { return platform::TickUs() >= until; }, 1000);
    label->SetCaption(QStringLiteral("second"));
    QCoreApplication::processEvents();
    ASSERT_EQ(log.lastText.toStdString(), "second");
    const std::uint64_t painted = platform::TickUs();

    label->SetCaption(QStringLiteral("third"));
    QCoreApplication::processEvents();
    if (platform::TickUs() - painted < pacer.FrameUs()) {
        EXPECT_EQ(log.lastText.toStdString(), "second") << "painted again within the frame";
    }

    label->SetCaption(QStringLiteral("status"));
    label->RepaintNow();
    EXPECT_EQ(log.lastText.toStdString(), "status") << "a paint-now waited for the frame";

    // A change held back is painted once the frame has passed.
    label->SetCaption(QStringLiteral("last"));
    EXPECT_TRUE(WaitFor([&] { return log.lastText == "last"; }, 2000,
                        [] { QCoreApplication::processEvents(); }));
}

}  // namespace
