// The reading loop, tick by tick, against a simulated encoder on a real pty.
#include <QEventLoop>
#include <QFocusEvent>
#include <QTimer>

#include "app/PositionChart.h"
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
    form->ReadEncoder(true);
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

}  // namespace
