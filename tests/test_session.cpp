// The reading session, tick by tick, against the simulated box on a real pty:
// for each fault, what the session reports, in order, and the state it names
// next. Every front end (the window, the recorder) runs on these reports.
#include <gtest/gtest.h>

#include <QStringList>

#include "PtyBox.h"
#include "core/ReadingSession.h"
#include "core/Serial_driver.h"
#include "module_globals.h"
#include "pty_fixture.h"

namespace {

using k740sim::K740Box;

// Writes down every report as one short line.
class ReportLog : public TSessionObserver {
public:
    QStringList lines;

private:
    void SearchingInterface() override { lines << "searching interface"; }
    void PortOpened() override { lines << "port opened"; }
    void PortAccessProblem(const QString& line) override { lines << "port problem: " + line; }
    void InterfaceFound(int port) override { lines << QString("interface found COM%1").arg(port); }
    void InterfaceIdentified(const TBoxIdentity& id) override {
        lines << "identified " + QString::fromLatin1(id.Identification) + " " +
                     QString::fromLatin1(id.Version) + " " + QString::fromLatin1(id.Serial);
    }
    void SetupMessage(const QString& text) override { lines << "message: " + text; }
    void SetupLog(const QString& line) override { lines << "log: " + line; }
    void SettingsChecked() override { lines << "settings checked"; }
    void SupplyStatusDue() override { lines << "supply status due"; }
    void InterfaceReady() override { lines << "interface ready"; }
    void SearchingEncoder() override { lines << "searching encoder"; }
    void ConfigurationCleared() override { lines << "configuration cleared"; }
    void EncoderFound(TDetection found) override {
        lines << (found == TDetection::Advanced ? "encoder found advanced"
                                                : "encoder found simple");
    }
    void FrameRead(const TFrameRead& r) override {
        QString line = "read " + QString::fromLatin1(r.Command);
        if (r.ErrComm == TR_TIMEOUT)
            line += " time-out";
        else if (r.ErrComm != TR_OK)
            line += " failed";
        else
            line += " " + r.Reply + (r.Refused ? " refused" : "");
        lines << line;
    }
    void GoodReading(const TGoodReading& r) override {
        lines << QString("good %1%2%3")
                     .arg(r.Position.Position_cnt)
                     .arg(r.Position.ErrBit ? " error" : "")
                     .arg(r.Position.WarnBit ? " warning" : "");
    }
    void ReadingFailed(TReadingFault fault) override {
        const char* names[] = {"time-out", "lost interface", "wrong length", "frame check",
                               "lost encoder"};
        lines << QString("failed: ") + names[static_cast<int>(fault)];
    }
    void InterfaceLost() override { lines << "interface lost"; }
    void EncoderLost() override { lines << "encoder lost"; }
};

// A session with records of its own, as the recorder keeps them.
struct OwnSession {
    TSessionFields fields;
    TEncoderPosition position;
    TEncoderSignature signature;
    std::int32_t status = 0;
    TReadingSession session{fields, {position, signature, status}};
    ReportLog log;
    OwnSession() { session.AddObserver(&log); }
    // One step; the reports it made.
    QStringList Step(TSessionState state) {
        log.lines.clear();
        next = session.Step(state);
        return log.lines;
    }
    TSessionStep next{TSessionState::SearchInterface, 0};
};

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::make_unique<SerialCommDir>();
        pty = std::make_unique<k740sim::PtyBox>(dir->Path(), 7);
        Box().SetSpeed(0);
        Box().SetPosition(1000000);
    }
    K740Box& Box() { return pty->Box(); }
    // A fresh session that has found the box and the encoder.
    std::unique_ptr<OwnSession> Reading() {
        auto s = std::make_unique<OwnSession>();
        s->Step(TSessionState::SearchInterface);
        s->Step(TSessionState::SearchEncoder);
        EXPECT_EQ(s->next.Next, TSessionState::Reading) << s->log.lines.join(" | ").toStdString();
        return s;
    }
    static QString Advanced(std::uint32_t count, bool error = false, std::uint8_t trailing = 0) {
        return QString::fromStdString(K740Box::AdvancedFrame(count, error, false, 0, trailing));
    }

    ModuleGlobalsGuard globals;
    std::unique_ptr<SerialCommDir> dir;
    std::unique_ptr<k740sim::PtyBox> pty;
};

struct Row {
    const char* name;
    std::function<void(Session&, K740Box&, k740sim::PtyBox&)> fault;
    QStringList reports;
    TSessionState next;
    bool portClosed = false;  // the session closed the box's port
};

TEST_F(Session, InterfaceSearchFindsAndSetsUpTheBoxOrSearchesOn) {
    {
        OwnSession s;
        pty->Unplug();
        EXPECT_EQ(s.Step(TSessionState::SearchInterface), QStringList{"searching interface"});
        EXPECT_EQ(s.next.Next, TSessionState::SearchInterface);
        EXPECT_EQ(s.next.DelayMs, kInterfaceSearchMs);
        pty->Replug();
    }
    OwnSession s;
    Box().ClearCommands();
    const QStringList reports = s.Step(TSessionState::SearchInterface);
    EXPECT_EQ(reports, (QStringList{"searching interface", "port opened", "interface found COM7",
                                    "identified K740-3T, V2.05 SPI interface V2.05.12 SN0042317",
                                    "log: Protocol settings: SPI MODE 1, MSB FIRST",
                                    "log: SPI settings: OK G0:1", "log: SPI settings: OK D055",
                                    "settings checked", "log: SPI frequency: M5 = 1.5 MHz",
                                    "supply status due", "interface ready"}));
    EXPECT_EQ(Box().Commands(), (std::vector<std::string>{"v", "o", "r", "Cp", "G0:1", "D055", "M5",
                                                          "m", "V5", "n"}));
    EXPECT_EQ(s.next.Next, TSessionState::SearchEncoder);
    EXPECT_EQ(s.next.DelayMs, kEncoderSearchMs);
    EXPECT_TRUE(s.fields.K740_H.IsOpen());
    EXPECT_EQ(s.fields.K740identifikacija, "K740-3T, V2.05 SPI interface");
    EXPECT_TRUE(Box().SupplyOn());
}

TEST_F(Session, SetUpReportsEachFailingReplyAndStillHandsOver) {
    struct Case {
        const char* name;
        std::function<void(K740Box&)> fault;
        QStringList messages;
        QString logLine;  // a line the log must hold
    };
    const Case cases[] = {
        {"cp_lower_case_error",
         [](auto& b) { b.SetErrorReply("Cp", "error: busy"); },
         {"Interface error: Cp -> error: busy"},
         "Protocol settings: error: busy"},
        {"cp_times_out_after_error",
         [](auto& b) { b.SetRawReply("Cp", "ERROR"); },
         {"Interface error: Cp -> ERROR", "Interface error: Cp -> ERROR"},
         "Protocol settings: ERROR"},
        {"g01_error",
         [](auto& b) { b.SetErrorReply("G0:1", "ERROR 3"); },
         {"Interface error: G0:1 -> ERROR 3"},
         "SPI settings: ERROR 3"},
        {"d055_silent",
         [](auto& b) { b.SetNoReply("D055"); },
         {"Interface error: D055 -> "},
         "SPI settings: "},
        {"control_characters_dropped_from_the_log",
         [](auto& b) { b.SetErrorReply("Cp", "ok\x01 x"); },
         {},
         "Protocol settings: ok x"},
        {"supply_wrong_reply",
         [](auto& b) { b.SetErrorReply("V5", "ERR"); },
         {"Error setting power supply! (V5) -> (ERR)"},
         {}},
        {"supply_on_wrong_reply",
         [](auto& b) { b.SetErrorReply("n", "OFF"); },
         {"Error setting power supply! (n) -> (OFF)"},
         {}},
        {"clock_query_blank",
         [](auto& b) { b.SetRawReply("m", " \t\r\n"); },
         {"SPI Frequency setting 5 failed!"},
         "SPI frequency: "},
        // Bytes came, so no message although the transaction failed.
        {"clock_set_partial_reply", [](auto& b) { b.SetRawReply("M5", "O"); }, {}, {}},
    };
    ReplyTimeoutMs = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().ClearOverrides();
        c.fault(Box());
        OwnSession s;
        const QStringList reports = s.Step(TSessionState::SearchInterface);
        QStringList messages;
        for (const QString& r : reports)
            if (r.startsWith("message: ")) messages << r.mid(9);
        EXPECT_EQ(messages, c.messages);
        if (!c.logLine.isEmpty()) {
            EXPECT_TRUE(reports.contains("log: " + c.logLine)) << reports.join(" | ").toStdString();
        }
        EXPECT_EQ(s.next.Next, TSessionState::SearchEncoder);
    }
}

TEST_F(Session, EncoderSearchTickByFault) {
    const QString simpleFrame =
        QString::fromStdString(K740Box::SimpleFrame(1000000, false, false, 0));
    const QStringList start = {"searching encoder", "supply status due", "configuration cleared"};
    const Row rows[] = {
        {"advanced_encoder",
         {},
         start + QStringList{"read ?06:006 " + Advanced(1000000), "encoder found advanced"},
         TSessionState::Reading},
        {"simple_encoder_after_the_advanced_crc_fails",
         [](Session&, K740Box& b, auto&) { b.SetEncoder(k740sim::EncoderKind::Simple); },
         start + QStringList{"read ?06:006 " + simpleFrame + "FFFF", "read ?04:004 " + simpleFrame,
                             "encoder found simple"},
         TSessionState::Reading},
        {"no_encoder_searches_on",
         [](Session&, K740Box& b, auto&) { b.SetEncoder(k740sim::EncoderKind::None); },
         start + QStringList{"read ?06:006 FFFFFFFFFFFF", "read ?04:004 FFFFFFFF"},
         TSessionState::SearchEncoder},
        {"box_unplugged_goes_back_to_the_interface_search",
         [](Session&, K740Box&, k740sim::PtyBox& p) { p.Unplug(); },
         start + QStringList{"read ?06:006 failed"}, TSessionState::SearchInterface},
        {"wrong_length_goes_back_to_the_interface_search",
         [](Session&, K740Box& b, auto&) { b.SetFrameLengthDelta(1); },
         start + QStringList{"read ?06:006 " + Advanced(1000000) + "0 refused"},
         TSessionState::SearchInterface, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (!pty->Plugged()) pty->Replug();
        Box().SetEncoder(k740sim::EncoderKind::Advanced);
        Box().SetFrameLengthDelta(0);
        OwnSession s;
        s.Step(TSessionState::SearchInterface);
        ASSERT_EQ(s.next.Next, TSessionState::SearchEncoder);
        if (r.fault) r.fault(*this, Box(), *pty);
        EXPECT_EQ(s.Step(TSessionState::SearchEncoder), r.reports);
        EXPECT_EQ(s.next.Next, r.next);
        EXPECT_EQ(s.session.State(), r.next);
        if (r.portClosed) {
            EXPECT_FALSE(s.fields.K740_H.IsOpen());
        }
    }
}

TEST_F(Session, ReadingTickByFault) {
    const QString read = "read ?06:006 ";
    const Row rows[] = {
        {"good", {}, {read + Advanced(1000000), "good 1000000"}, TSessionState::Reading},
        {"error_bit_is_still_a_good_reading",
         [](Session&, K740Box& b, auto&) { b.SetErrorBit(true); },
         {read + Advanced(1000000, true), "good 1000000 error"},
         TSessionState::Reading},
        {"trailing_bits_with_a_good_crc_are_good",
         [](Session&, K740Box& b, auto&) { b.SetTrailingBits(3); },
         {read + Advanced(1000000, false, 3), "good 1000000"},
         TSessionState::Reading},
        {"lower_case_with_blanks_is_cleaned",
         [](Session&, K740Box& b, auto&) { b.SetLowerCaseWithBlanks(true); },
         {read + Advanced(1000000), "good 1000000"},
         TSessionState::Reading},
        {"crc_mismatch_loses_the_encoder",
         [](Session&, K740Box& b, auto&) { b.SetBadCrc(true); },
         {read + "03D0903006D0", "failed: frame check", "encoder lost"},
         TSessionState::SearchEncoder},
        {"idle_line_is_a_lost_encoder",
         [](Session&, K740Box& b, auto&) { b.SetEncoder(k740sim::EncoderKind::None); },
         {read + "FFFFFFFFFFFF", "failed: lost encoder", "encoder lost"},
         TSessionState::SearchEncoder},
        {"silent_box_is_a_time_out",
         [](Session&, K740Box& b, auto&) {
             ReplyTimeoutMs = 50;
             b.SetSilent(true);
         },
         {read + "time-out", "failed: time-out", "interface lost"},
         TSessionState::SearchInterface},
        {"unplugged_box_is_a_lost_interface",
         [](Session&, K740Box&, k740sim::PtyBox& p) { p.Unplug(); },
         {read + "failed", "failed: lost interface", "interface lost"},
         TSessionState::SearchInterface},
        // No "interface lost": the box answered, with something else.
        {"wrong_length_is_refused_and_closes_the_port",
         [](Session&, K740Box& b, auto&) { b.SetFrameLengthDelta(-1); },
         {read + Advanced(1000000).left(11) + " refused", "failed: wrong length"},
         TSessionState::SearchInterface,
         true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        if (!pty->Plugged()) pty->Replug();
        Box().ClearOverrides();
        Box().SetEncoder(k740sim::EncoderKind::Advanced);
        Box().SetSilent(false);
        Box().SetErrorBit(false);
        Box().SetBadCrc(false);
        Box().SetTrailingBits(0);
        Box().SetFrameLengthDelta(0);
        Box().SetLowerCaseWithBlanks(false);
        ReplyTimeoutMs = 400;
        auto s = Reading();
        if (r.fault) r.fault(*this, Box(), *pty);
        EXPECT_EQ(s->Step(TSessionState::Reading), r.reports);
        EXPECT_EQ(s->next.Next, r.next);
        EXPECT_EQ(s->next.DelayMs, r.next == TSessionState::Reading ? kDefaultReadingIntervalMs
                                   : r.next == TSessionState::SearchEncoder ? kEncoderSearchMs
                                                                            : kInterfaceSearchMs);
        if (r.portClosed) {
            EXPECT_FALSE(s->fields.K740_H.IsOpen());
        }
    }
}

TEST_F(Session, ReadingBeforeAnyDetectionReadsTheSimpleFrame) {
    // The window's recording arms the reading timer from any state.
    OwnSession s;
    s.Step(TSessionState::SearchInterface);
    const QStringList reports = s.Step(TSessionState::Reading);
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_TRUE(reports.first().startsWith("read ?04:004 ")) << reports.first().toStdString();
    // And without a box at all, the read finds no port.
    OwnSession none;
    EXPECT_EQ(none.Step(TSessionState::Reading),
              (QStringList{"read ?04:004 failed", "failed: lost interface", "interface lost"}));
}

TEST_F(Session, StatusLatchesOverElevenAdvancedReadingsAndTheSupplyIsDueOnTheTwentyFirst) {
    auto s = Reading();
    std::vector<int> latched;
    struct Latch : TSessionObserver {
        std::vector<int>* out;
        void GoodReading(const TGoodReading& r) override { out->push_back(r.LatchedStatus); }
    } latch;
    latch.out = &latched;
    s->session.AddObserver(&latch);
    int due = 0;
    for (int i = 1; i <= 21; ++i) {
        Box().SetDetailedStatus(i == 1 ? 0x11 : i == 11 ? 0x80 : i == 12 ? 0x04 : 0x00);
        const QStringList reports = s->Step(TSessionState::Reading);
        EXPECT_FALSE(reports.contains("supply status due")) << "a reading says so in its step";
        due += s->next.SupplyStatusDue;
        if (i < 21) {
            EXPECT_EQ(due, 0) << "reading " << i;
        }
    }
    EXPECT_EQ(due, 1);
    EXPECT_EQ(s->fields.CycleCounterPower, 0);
    // A bit seen once stays until its window of eleven ends; the next window
    // shows only its own.
    const std::vector<int> expected = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                       0x11, 0x11, 0x11, 0x91, 0x04, 0x04, 0x04,
                                       0x04, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04};
    EXPECT_EQ(latched, expected);
}

TEST_F(Session, StepWithoutAStateTicksTheOneTheLastStepNamed) {
    OwnSession s;
    EXPECT_EQ(s.session.State(), TSessionState::SearchInterface);
    s.log.lines.clear();
    EXPECT_EQ(s.session.Step().Next, TSessionState::SearchEncoder);
    EXPECT_EQ(s.session.Step().Next, TSessionState::Reading);
    s.session.SetReadingIntervalMs(5);
    s.log.lines.clear();
    const TSessionStep step = s.session.Step();
    EXPECT_EQ(step.Next, TSessionState::Reading);
    EXPECT_EQ(step.DelayMs, 5);
    EXPECT_EQ(s.log.lines.last(), "good 1000000");
}

}  // namespace
