// The reading loop, tick by tick, against a simulated encoder on a real pty.
#include <QEventLoop>
#include <QFocusEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>

#include "app/PositionChart.h"
#include "platform/Clock.h"
#include "window_fixture.h"

namespace {

using k740sim::K740Box;

class Reading : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Box().SetPosition(1000000);
    }
    int Count(const std::string& command) {
        int n = 0;
        for (const auto& c : Box().Commands()) n += c == command;
        return n;
    }
    void Tick() { form->tmrReadEncoderTimer(); }
};

struct TickCase {
    const char* name;
    std::function<void(K740Box&)> frame;
    std::string armed;
    TColor packetPanel;
    TColor positionPanel;
    QString positionText;
};

TEST_F(Reading, OneTickPerFrameKind) {
    const TickCase cases[] = {
        {"good", [](K740Box&) {}, "R", clDarkGreen, clBtnFace, "244.1406 mm"},
        {"error_bit", [](K740Box& b) { b.SetErrorBit(true); }, "R", clDarkGreen, clLightRed,
         "244.1406 mm"},
        {"warning_bit", [](K740Box& b) { b.SetWarningBit(true); }, "R", clDarkGreen, clOrange,
         "244.1406 mm"},
        {"error_wins_over_warning",
         [](K740Box& b) {
             b.SetErrorBit(true);
             b.SetWarningBit(true);
         },
         "R", clDarkGreen, clLightRed, "244.1406 mm"},
        {"trailing_bits_with_good_crc_is_good", [](K740Box& b) { b.SetTrailingBits(3); }, "R",
         clDarkGreen, clBtnFace, "244.1406 mm"},
        // The position panel keeps the colour of the reading before.
        {"crc_mismatch_to_encoder_search", [](K740Box& b) { b.SetBadCrc(true); }, "E", clRed,
         clOrange, "Encoder disconnected!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().ClearOverrides();
        Box().SetErrorBit(false);
        Box().SetBadCrc(false);
        Box().SetTrailingBits(0);
        Box().SetWarningBit(true);  // the reading before each case: a warning
        form->tmrReadEncoder->SetEnabled(false);
        FindEncoder();
        Tick();
        ASSERT_EQ(form->pnlPosition->Color(), clOrange);
        Box().SetWarningBit(false);
        c.frame(Box());
        Tick();
        EXPECT_EQ(Armed(), c.armed);
        EXPECT_EQ(form->pnlDataPacketOK->Color(), c.packetPanel);
        EXPECT_EQ(form->pnlPosition->Color(), c.positionPanel);
        EXPECT_EQ(form->lblPosUnit->Caption(), c.positionText);
        EXPECT_EQ(form->lblDataPacketOK->Caption(), "CRC check");
    }
    EXPECT_EQ(Log().last(), "Encoder disconnected!");
}

TEST_F(Reading, LostInterfaceGoesBackToTheInterfaceSearch) {
    FindEncoder();
    Box().SetWarningBit(true);
    Tick();
    form->Pages->setCurrentIndex(1);
    pty->Unplug();
    Tick();
    EXPECT_EQ(Armed(), "I");
    EXPECT_EQ(form->lblPosUnit->Caption(), "Interface disconnected!");
    EXPECT_EQ(Log().last(), "Interface disconnected!");
    EXPECT_EQ(form->Pages->currentIndex(), 0);
    EXPECT_FALSE(form->Pages->isTabVisible(2));
    // Colours stay as they were.
    EXPECT_EQ(form->pnlDataPacketOK->Color(), clDarkGreen);
    EXPECT_EQ(form->pnlPosition->Color(), clOrange);
}

TEST_F(Reading, SimpleVariantLeavesTheStatusPageAlone) {
    Box().SetEncoder(k740sim::EncoderKind::Simple);
    FindEncoder();
    const QString statusText = form->lblEncDetStatBin->Caption();
    Tick();
    EXPECT_EQ(Armed(), "R");
    EXPECT_EQ(form->lblDataPacketOK->Caption(), "Reserved bits");
    EXPECT_EQ(form->lblPosUnit->Caption(), "244.1406 mm");
    EXPECT_EQ(form->lblEncDetStatBin->Caption(), statusText);
    EXPECT_EQ(form->CycleCounterStatus, 0);
    EXPECT_EQ(form->pnlSb0->Color(), clSilver);
    // Trailing bits other than 0 are the simple frame's check.
    Box().SetTrailingBits(1);
    Tick();
    EXPECT_EQ(Armed(), "E");
}

TEST_F(Reading, StatusBitsLatchOverWindowsOfElevenReadings) {
    FindEncoder();
    auto panels = [this] {
        std::string s;
        for (TPanel* p : {form->pnlSb7, form->pnlSb6, form->pnlSb5, form->pnlSb4, form->pnlSb3,
                          form->pnlSb2, form->pnlSb1, form->pnlSb0})
            s += p->Color() == clRed      ? 'r'
                 : p->Color() == clOrange ? 'o'
                 : p->Color() == clGray   ? '.'
                                          : '?';
        return s;
    };
    // Reading 1 of the window: bit 0 and bit 4; then nothing for ten readings.
    Box().SetDetailedStatus(0x11);
    Tick();
    EXPECT_EQ(form->lblEncDetStatBin->Caption(), "00010001");
    EXPECT_EQ(panels(), "...o...r");
    Box().SetDetailedStatus(0x00);
    for (int i = 2; i <= 10; ++i) Tick();
    EXPECT_EQ(form->lblEncDetStatBin->Caption(), "00000000");
    EXPECT_EQ(panels(), "...o...r") << "a bit seen once stays until its window ends";
    Box().SetDetailedStatus(0x80);
    Tick();  // reading 11 closes the window
    EXPECT_EQ(panels(), "r..o...r");
    EXPECT_EQ(form->CycleCounterStatus, 0);
    Box().SetDetailedStatus(0x04);
    Tick();  // the next window shows only its own bits
    EXPECT_EQ(panels(), ".....r..");
    EXPECT_EQ(form->CycleCounterStatus, 1);
}

TEST_F(Reading, SupplyStatusRefreshedOnEveryTwentyFirstGoodReading) {
    FindEncoder();
    Box().ClearCommands();
    for (int i = 0; i < 20; ++i) Tick();
    EXPECT_EQ(Count("e"), 0);
    Tick();
    EXPECT_EQ(Count("e"), 1);
    // Failed frame checks do not count.
    Box().SetBadCrc(true);
    Tick();
    EXPECT_EQ(form->CycleCounterPower, 0);
    // Only while System Config is shown.
    form->tmrSearchEncoderTimer();  // back to reading, counters cleared
    Box().SetBadCrc(false);
    form->tmrSearchEncoderTimer();
    form->Pages->setCurrentIndex(1);
    Box().ClearCommands();
    for (int i = 0; i < 21; ++i) Tick();
    EXPECT_EQ(Count("e"), 0);
}

TEST_F(Reading, SupplyStatusIsAskedAfterTheNextIntervalHasBegun) {
    FindEncoder();
    for (int i = 0; i < 20; ++i) Tick();
    // Every reply now takes 40 ms: the 21st tick's reading and then its
    // supply exchange. Armed before that exchange, the timer's interval
    // began at least one reply earlier than the tick's end.
    Box().SetReplyDelayMs(40);
    Box().ClearCommands();
    Tick();
    const std::uint64_t endUs = platform::TickUs();
    ASSERT_EQ(Count("e"), 1);
    ASSERT_TRUE(form->tmrReadEncoder->Enabled());
    EXPECT_GE(endUs - form->tmrReadEncoder->IntervalStartUs(), 40000u)
        << "the supply exchange ran before the next interval began";
}

TEST_F(Reading, ZeroTakesTheCountOnlyFromAGoodTransactionWithoutError) {
    FindEncoder();
    Tick();
    form->btnZeroClick();
    EXPECT_EQ(form->EncoderZeroPos_cnt, 1000000);
    EXPECT_EQ(form->lblZeroPos->Caption(), "1000000");
    Box().SetPosition(1000100);
    Tick();
    EXPECT_EQ(form->lblPosUnit->Caption(), "0.0244 mm");
    EXPECT_EQ(form->lblEncPosRawDecoded->Caption(), "1000100") << "the raw count is never shifted";

    Box().SetErrorBit(true);
    Tick();
    form->btnZeroClick();
    EXPECT_EQ(form->EncoderZeroPos_cnt, 1000000) << "zeroed with the error bit set";

    Box().SetErrorBit(false);
    Box().SetBadCrc(true);
    Box().SetPosition(2000000);
    Tick();  // the check fails, the error bit is clear
    form->btnZeroClick();
    EXPECT_EQ(form->EncoderZeroPos_cnt, 2000000);

    pty->Unplug();
    Tick();  // the read fails
    form->btnZeroClick();
    EXPECT_EQ(form->EncoderZeroPos_cnt, 2000000) << "zeroed after a failed transaction";
    EXPECT_EQ(form->lblZeroPos->Caption(), "2000000");
}

TEST_F(Reading, WrongLengthReplyIsNotAGoodReading) {
    FindEncoder();
    form->cbPosPlot->setChecked(true);
    Tick();
    ASSERT_EQ(form->chartPosition->Count(), 1);
    Box().SetFrameLengthDelta(1);
    Tick();
    EXPECT_EQ(Armed(), "I");
    EXPECT_EQ(form->chartPosition->Count(), 1);
    EXPECT_EQ(form->K740_H, platform::InvalidHandle);
    EXPECT_EQ(Log().last(), "Incorrect data returned from K740.");
}

TEST_F(Reading, PositionTextFollowsTheUsersLocale) {
    form->UserLocale = [] { return QLocale(QLocale::German, QLocale::Germany); };
    FindEncoder();
    Tick();
    EXPECT_EQ(form->lblPosUnit->Caption(), "244,1406 mm");
}

TEST_F(Reading, RunTimeErrorInATickIsReportedOnceAndTheLoopGoesOn) {
    FindEncoder();
    // A zero that makes the count difference overflow 32 bits.
    form->EncoderZeroPos_cnt = std::numeric_limits<std::int32_t>::min();
    form->tmrReadEncoder->SetEnabled(false);
    emit form->tmrReadEncoder->Timer();  // as the timer delivers it
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(Armed(), "R");
    form->EncoderZeroPos_cnt = 0;
    emit form->tmrReadEncoder->Timer();
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(form->lblPosUnit->Caption(), "244.1406 mm");
}

TEST_F(Reading, ClearLogEmptiesIt) {
    FindBox();
    ASSERT_FALSE(Log().isEmpty());
    form->Button1->click();
    EXPECT_TRUE(Log().isEmpty());
}

// The log keeps its newest lines up to its limit. Lines are added the way the
// window adds them, each followed by one page down, in a shown window.
TEST_F(Reading, LogKeepsItsNewestLinesUpToTheLimit) {
    form->show();
    QScrollBar* bar = form->mmLog->verticalScrollBar();
    const int limit = TMainForm::LogLineLimit;
    const struct {
        const char* name;
        int lines;
    } cases[] = {
        {"below", limit - 1},
        {"at", limit},
        {"one_over", limit + 1},
        {"many_over", 2 * limit + 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form->Button1->click();
        for (int i = 1; i <= c.lines; ++i) form->LogLine(QStringLiteral("line %1").arg(i));
        const QStringList log = Log();
        const int kept = std::min(c.lines, limit);
        ASSERT_EQ(log.size(), kept);
        EXPECT_EQ(log.first(), QStringLiteral("line %1").arg(c.lines - kept + 1));
        EXPECT_EQ(log.last(), QStringLiteral("line %1").arg(c.lines));
        // Page by page, the newest lines came into view and stay there.
        EXPECT_EQ(bar->value(), bar->maximum());
    }
    // Scrolled back to old lines, the reader is moved one page down per new
    // line from the lines he reads, while the oldest lines drop away above.
    auto topLine = [this] {
        return form->mmLog->cursorForPosition(QPoint(4, 4)).block().text().toStdString();
    };
    const int page = bar->pageStep();
    ASSERT_GT(page, 1);
    bar->setValue(page);
    const int topNumber = QString::fromStdString(topLine()).mid(5).toInt();
    form->LogLine(QStringLiteral("newest"));
    EXPECT_EQ(topLine(), QStringLiteral("line %1").arg(topNumber + page).toStdString());
    EXPECT_EQ(Log().size(), limit);
    EXPECT_EQ(Log().last(), "newest");
}

// ------------------------------------------------------------ interval

TEST_F(Reading, IntervalSpinEditDrivesTheReadingTimer) {
    TSpinEdit* se = form->seEncoderReadInterval;
    form->tmrReadEncoder->SetEnabled(true);
    se->SetText("25");
    EXPECT_EQ(form->tmrReadEncoder->Interval(), 25);
    se->SetText("0");
    EXPECT_EQ(form->tmrReadEncoder->Interval(), 0);
    EXPECT_FALSE(form->tmrReadEncoder->Armed()) << "0 must stop the readings";
    se->SetText("-5");  // refused: the running interval stays
    EXPECT_EQ(form->tmrReadEncoder->Interval(), 0);
    EXPECT_TRUE(errors.isEmpty());
    se->SetText("abc");  // no number reads as the minimum
    EXPECT_EQ(form->tmrReadEncoder->Interval(), 1);
    se->SetText("20000");
    QFocusEvent out(QEvent::FocusOut);
    QCoreApplication::sendEvent(se, &out);
    EXPECT_EQ(se->Text(), "10000");
    EXPECT_EQ(form->tmrReadEncoder->Interval(), 10000);
    se->SetText("0");
    QCoreApplication::sendEvent(se, &out);
    EXPECT_EQ(se->Text(), "1");
    EXPECT_EQ(form->tmrReadEncoder->Interval(), 1);
}

TEST_F(Reading, SpinEditStepsStopAtTheLimits) {
    TSpinEdit* se = form->seEncoderReadInterval;
    se->SetText("9995");
    se->stepBy(1);
    EXPECT_EQ(se->Text(), "10000");
    se->SetText("5");
    se->stepBy(-1);
    EXPECT_EQ(se->Text(), "1");
    TSpinEdit* dur = form->seCasShranjevanja;
    dur->stepBy(-100);
    EXPECT_EQ(dur->Text(), "0");
    dur->stepBy(3);
    EXPECT_EQ(dur->Text(), "3");
}

TEST(Timer, ZeroNeverTicksAndChangingTheIntervalRestarts) {
    for (const bool precise : {false, true}) {
        SCOPED_TRACE(precise ? "precise" : "coarse");
        TTimer t(nullptr, 0, precise);
        int ticks = 0;
        QObject::connect(&t, &TTimer::Timer, [&] { ++ticks; });
        t.SetEnabled(true);
        QEventLoop loop;
        QTimer::singleShot(40, &loop, &QEventLoop::quit);
        loop.exec();
        EXPECT_EQ(ticks, 0);
        t.SetInterval(5);
        EXPECT_TRUE(
            WaitFor([&] { return ticks > 0; }, 2000, [] { QCoreApplication::processEvents(); }));
        // Left enabled, it goes on ticking without being re-armed.
        EXPECT_TRUE(
            WaitFor([&] { return ticks >= 3; }, 2000, [] { QCoreApplication::processEvents(); }));
        t.SetEnabled(false);
        const int seen = ticks;
        QTimer::singleShot(30, &loop, &QEventLoop::quit);
        loop.exec();
        EXPECT_EQ(ticks, seen) << "a disabled timer ticked";
    }
}

// How each tick is judged: the test reads the platform clock itself just
// before it enables the timer (or changes its interval); the tick must come no
// earlier than that reading plus the interval. All cases run at once in one
// real event loop.
enum class Rearm { ByHandler, IntervalChange, LeftRunning };

struct NeverEarlyCase {
    const char* name;
    int interval;
    bool precise;
    Rearm rearm;
    int ticks;
};

TEST(Timer, NoTickComesBeforeItsFullInterval) {
    const NeverEarlyCase cases[] = {
        {"interface_search_rearmed_by_its_handler", 1000, false, Rearm::ByHandler, 3},
        {"encoder_search_rearmed_by_its_handler", 850, false, Rearm::ByHandler, 3},
        {"reading_rearmed_by_its_handler", 70, true, Rearm::ByHandler, 20},
        {"reading_at_one_millisecond", 1, true, Rearm::ByHandler, 200},
        {"coarse_interval_changed_by_its_handler", 45, false, Rearm::IntervalChange, 20},
        {"precise_interval_changed_by_its_handler", 45, true, Rearm::IntervalChange, 20},
        {"coarse_left_running", 85, false, Rearm::LeftRunning, 10},
        {"precise_left_running", 7, true, Rearm::LeftRunning, 50},
    };
    struct Run {
        const NeverEarlyCase* c;
        std::unique_ptr<TTimer> timer;
        std::uint64_t notBeforeUs = 0;
        int ticks = 0;
        std::vector<std::int64_t> earlyUs;  // how early each early tick came
    };
    std::vector<Run> runs;
    for (const auto& c : cases)
        runs.push_back({&c, std::make_unique<TTimer>(nullptr, c.interval, c.precise), 0, 0, {}});
    QEventLoop loop;
    int running = static_cast<int>(runs.size());
    for (Run& r : runs) {
        QObject::connect(r.timer.get(), &TTimer::Timer, [&r, &running, &loop] {
            const std::uint64_t now = platform::TickUs();
            if (now < r.notBeforeUs)
                r.earlyUs.push_back(static_cast<std::int64_t>(r.notBeforeUs - now));
            TTimer& t = *r.timer;
            if (++r.ticks == r.c->ticks) {
                t.SetEnabled(false);
                if (--running == 0) loop.quit();
                return;
            }
            switch (r.c->rearm) {
                case Rearm::ByHandler:
                    // As the window's handlers do: off first, on again at the end.
                    t.SetEnabled(false);
                    r.notBeforeUs =
                        platform::TickUs() + 1000u * static_cast<unsigned>(t.Interval());
                    t.SetEnabled(true);
                    break;
                case Rearm::IntervalChange: {
                    const int next =
                        t.Interval() == r.c->interval ? r.c->interval + 10 : r.c->interval;
                    r.notBeforeUs = platform::TickUs() + 1000u * static_cast<unsigned>(next);
                    t.SetInterval(next);
                    break;
                }
                case Rearm::LeftRunning:
                    // Each tick one interval after the one before was due.
                    r.notBeforeUs += 1000u * static_cast<unsigned>(t.Interval());
                    break;
            }
        });
    }
    for (Run& r : runs) {
        r.notBeforeUs = platform::TickUs() + 1000u * static_cast<unsigned>(r.c->interval);
        r.timer->SetEnabled(true);
    }
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    for (const Run& r : runs) {
        SCOPED_TRACE(r.c->name);
        EXPECT_EQ(r.ticks, r.c->ticks);
        EXPECT_TRUE(r.earlyUs.empty())
            << r.earlyUs.size() << " tick(s) early, the first by " << r.earlyUs.front() << " us";
    }
}

// The window's three timers in the real event loop, through every hand-over
// of the state machine: found, searching on, reading, a failed frame check, a
// failed transaction. The test takes each timer's signal over, so that it sees
// the start of every tick before the handler runs, and then runs the handler.
// A tick must not come before the moment its timer was enabled plus the
// interval; when a handler enables a timer, that moment must lie within the
// handler's run, by the platform clock.
TEST_F(Reading, NoTickOfTheThreeTimersComesBeforeItsInterval) {
    struct Watched {
        const char* name;
        TTimer* timer;
        void (TMainForm::*handler)();
        int ticks = 0;
    };
    Watched watched[] = {
        {"interface search", form->tmrSearchInterface, &TMainForm::tmrSearchInterfaceTimer},
        {"encoder search", form->tmrSearchEncoder, &TMainForm::tmrSearchEncoderTimer},
        {"reading", form->tmrReadEncoder, &TMainForm::tmrReadEncoderTimer},
    };
    QStringList faults;  // every rule broken, with its tick
    QStringList path;    // the states in the order their ticks came
    QEventLoop loop;
    // What the box does next, decided after each tick.
    auto steer = [&](const Watched& w) {
        const int readings = watched[2].ticks;
        if (w.timer == form->tmrSearchInterface && w.ticks == 1) {
            Box().SetEncoder(k740sim::EncoderKind::None);  // the search goes on
        } else if (w.timer == form->tmrSearchEncoder && (w.ticks == 2 || w.ticks == 5)) {
            Box().SetEncoder(k740sim::EncoderKind::Advanced);
        } else if (w.timer == form->tmrReadEncoder && readings == 1) {
            form->seEncoderReadInterval->SetText("5");
        } else if (w.timer == form->tmrReadEncoder && readings == 10) {
            Box().SetBadCrc(true);  // the next reading fails its check
        } else if (w.timer == form->tmrReadEncoder && readings == 11) {
            Box().SetBadCrc(false);
            Box().SetEncoder(k740sim::EncoderKind::None);
        } else if (w.timer == form->tmrReadEncoder && readings == 16) {
            pty->Unplug();  // the next reading fails as a transaction
        } else if (w.timer == form->tmrSearchInterface && w.ticks == 3) {
            pty->Replug();
        } else if (w.timer == form->tmrReadEncoder && readings == 20) {
            loop.quit();
        }
    };
    for (Watched& w : watched) {
        ASSERT_TRUE(QObject::disconnect(w.timer, &TTimer::Timer, form.get(), nullptr));
        QObject::connect(w.timer, &TTimer::Timer, form.get(), [&, pw = &w] {
            const std::uint64_t start = platform::TickUs();
            ++pw->ticks;
            path << pw->name;
            const std::uint64_t due =
                pw->timer->IntervalStartUs() + 1000u * static_cast<unsigned>(pw->timer->Interval());
            if (start < due)
                faults << QStringLiteral("%1 tick %2 came %3 us early")
                              .arg(pw->name)
                              .arg(pw->ticks)
                              .arg(due - start);
            std::uint64_t before[3];
            for (int i = 0; i < 3; ++i) before[i] = watched[i].timer->IntervalStartUs();
            (form.get()->*(pw->handler))();
            const std::uint64_t end = platform::TickUs();
            for (int i = 0; i < 3; ++i) {
                const std::uint64_t at = watched[i].timer->IntervalStartUs();
                if (watched[i].timer->Armed() && at != before[i] && (at < start || at > end))
                    faults << QStringLiteral("%1 enabled outside the %2 tick")
                                  .arg(watched[i].name, pw->name);
            }
            steer(*pw);
        });
    }
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    form->tmrReadEncoder->SetEnabled(false);
    EXPECT_TRUE(faults.isEmpty()) << faults.join("\n").toStdString();
    EXPECT_EQ(watched[2].ticks, 20) << path.join(", ").toStdString();
    // Every hand-over was taken: the searches after a failed frame check and
    // after a failed transaction included.
    const QString seen = path.join(", ");
    EXPECT_TRUE(seen.contains("reading, encoder search, encoder search")) << seen.toStdString();
    EXPECT_TRUE(seen.contains("reading, interface search, interface search")) << seen.toStdString();
}

}  // namespace
