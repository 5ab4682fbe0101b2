// The box protocol and the detection rule in core, without any widget: the
// protocol against the simulated box on a real pty, the rules as tables.
#include <gtest/gtest.h>

#include <cerrno>

#include "PtyBox.h"
#include "core/BoxProtocol.h"
#include "core/EncoderDetection.h"
#include "core/FrameDecoder.h"
#include "core/Serial_driver.h"
#include "module_globals.h"
#include "pty_fixture.h"

namespace {

using Commands = std::vector<std::string>;

class Protocol : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::make_unique<SerialCommDir>();
        pty = std::make_unique<k740sim::PtyBox>(dir->Path(), 7);
        Box().SetSpeed(0);
    }
    void TearDown() override { platform::ClosePort(port); }

    k740sim::K740Box& Box() { return pty->Box(); }
    void Probe() {
        TSortedStringList comPorts;
        ASSERT_TRUE(ProbeForBox(comPorts, port, identification).Found);
    }
    TBoxReport Report() {
        return {[this](const QString& t) { messages << t; },
                [this](const QString& t) { log << t; }};
    }

    ModuleGlobalsGuard globals;
    std::unique_ptr<SerialCommDir> dir;
    std::unique_ptr<k740sim::PtyBox> pty;
    platform::PortHandle port = platform::InvalidHandle;
    QByteArray identification;
    QStringList messages, log;
};

// ------------------------------------------------------------ probe

TEST_F(Protocol, ProbeReportsEachPortThatWouldNotOpenWithTheSystemsReason) {
    RawPty three(dir->Path(), 3), five(dir->Path(), 5);
    const platform::PortHandle held3 = platform::OpenPort(3);
    const platform::PortHandle held5 = platform::OpenPort(5);
    ASSERT_NE(held3, platform::InvalidHandle);
    ASSERT_NE(held5, platform::InvalidHandle);
    TSortedStringList comPorts;
    int opened = 0;
    const TProbeResult r = ProbeForBox(comPorts, port, identification, [&] {
        // The port is already in the caller's hands when events may run.
        EXPECT_NE(port, platform::InvalidHandle);
        ++opened;
    });
    platform::ClosePort(held3);
    platform::ClosePort(held5);
    ASSERT_TRUE(r.Found);
    EXPECT_EQ(r.Port, 7);
    EXPECT_EQ(opened, 1);
    ASSERT_EQ(r.OpenFailures.size(), 2u);
    EXPECT_EQ(r.OpenFailures[0].Port, 3);
    EXPECT_EQ(r.OpenFailures[0].SystemError, EBUSY);
    EXPECT_EQ(r.OpenFailures[1].Port, 5);
    EXPECT_EQ(r.OpenFailures[1].SystemError, EBUSY);
}

TEST(PortOpenFailure, TextNamesPortDeviceAndWhatToDo) {
    using platform::OpenError;
    struct Case {
        const char* name;
        OpenError why;
        QString group;
        QString expected;  // empty: nothing the user can act on
    } const cases[] = {
        {"no_permission_names_the_group", OpenError::AccessDenied, "dialout",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Add your user to the group dialout "
         "and log in again."},
        {"group_of_another_distribution", OpenError::AccessDenied, "uucp",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Add your user to the group uucp and "
         "log in again."},
        {"group_unknown", OpenError::AccessDenied, "",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Ask the administrator for read and "
         "write access to it."},
        {"roots_own_group_is_not_for_joining", OpenError::AccessDenied, "root",
         "Cannot open COM1 (/dev/ttyACM0): permission denied. Ask the administrator for read and "
         "write access to it."},
        {"held_by_another_program", OpenError::InUse, "dialout",
         "Cannot open COM1 (/dev/ttyACM0): it is in use by another program."},
        {"gone_is_not_worth_a_line", OpenError::NotFound, "dialout", ""},
        {"other_reasons_are_not_guessed_at", OpenError::Other, "dialout", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortOpenFailureText(1, "/dev/ttyACM0", c.why, c.group), c.expected) << c.name;
}

TEST(PortOpenFailure, EachPortAndReasonIsToldOnce) {
    TPortAccessReporter reporter;
    const std::vector<TPortOpenFailure> scan = {{3, EBUSY}, {4, EACCES}, {5, ENOENT}};
    const QStringList first = reporter.NewLines(scan);
    ASSERT_EQ(first.size(), 2) << first.join('|').toStdString();
    EXPECT_TRUE(first[0].startsWith("Cannot open COM3 (")) << first[0].toStdString();
    EXPECT_TRUE(first[0].endsWith("it is in use by another program."));
    EXPECT_TRUE(first[1].startsWith("Cannot open COM4 (")) << first[1].toStdString();
    EXPECT_TRUE(first[1].contains("permission denied"));
    EXPECT_TRUE(reporter.NewLines(scan).isEmpty()) << "the next scans repeat nothing";
    const QStringList changed = reporter.NewLines({{3, EACCES}});
    ASSERT_EQ(changed.size(), 1) << "a new reason for the same port is news";
    EXPECT_TRUE(changed[0].contains("permission denied"));
}

TEST_F(Protocol, ProbeLimitedToOnePortLeavesTheOthersAlone) {
    k740sim::PtyBox other(dir->Path(), 3);
    TSortedStringList comPorts;
    const TProbeResult r = ProbeForBox(comPorts, port, identification, {}, 7);
    ASSERT_TRUE(r.Found);
    EXPECT_EQ(r.Port, 7);
    EXPECT_TRUE(other.Box().Commands().empty());
    EXPECT_EQ(comPorts.Items(), (QStringList{"003", "007"})) << "every candidate is still listed";
    platform::ClosePort(port);
    port = platform::InvalidHandle;
    EXPECT_FALSE(ProbeForBox(comPorts, port, identification, {}, 5).Found);
    EXPECT_EQ(port, platform::InvalidHandle);
}

// ------------------------------------------------------------ set-up

TEST_F(Protocol, SetUpSendsEveryCommandInOrder) {
    Probe();
    const TInterfaceSetUp done = SetUpInterface(port, identification, Report());
    EXPECT_EQ(Box().Commands(),
              (Commands{"v", "o", "r", "Cp", "G0:1", "D055", "M5", "m", "V5", "n", "e"}));
    EXPECT_TRUE(messages.isEmpty()) << messages.join(" | ").toStdString();
    EXPECT_EQ(done.Identity.Identification, "K740-3T, V2.05 SPI interface");
    EXPECT_EQ(done.Identity.RevisionFW, 12);
    EXPECT_EQ(done.Identity.Version, "V2.05.12");
    EXPECT_EQ(done.Identity.Serial, "SN0042317");
    EXPECT_FALSE(done.SupplyStatus.isEmpty());
    EXPECT_EQ(Box().SpiClock(), "5");
    EXPECT_TRUE(Box().SupplyOn());
    ASSERT_EQ(log.size(), 4);
    EXPECT_TRUE(log[0].startsWith("Protocol settings: "));
    EXPECT_TRUE(log[1].startsWith("SPI settings: "));
    EXPECT_TRUE(log[2].startsWith("SPI settings: "));
    EXPECT_TRUE(log[3].startsWith("SPI frequency: "));
}

TEST_F(Protocol, SetUpHandlesEachFailingReply) {
    struct Case {
        const char* name;
        std::function<void(k740sim::K740Box&)> fault;
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().ClearOverrides();
        messages.clear();
        log.clear();
        c.fault(Box());
        platform::ClosePort(port);
        Probe();
        SetUpInterface(port, identification, Report());
        EXPECT_EQ(messages, c.messages);
        if (!c.logLine.isEmpty()) {
            EXPECT_TRUE(log.contains(c.logLine)) << log.join(" | ").toStdString();
        }
    }
}

TEST_F(Protocol, IdentityFromOddReplies) {
    struct Case {
        const char* name;
        std::function<void(k740sim::K740Box&)> setUp;
        std::int32_t revision;
        QByteArray version, serial;
    };
    const Case cases[] = {
        {"no_answer_to_firmware", [](auto& b) { b.SetNoReply("o"); }, 0, "V2.05.0", "SN0042317"},
        {"hex_revision", [](auto& b) { b.SetErrorReply("o", "0x1A"); }, 26, "V2.05.26",
         "SN0042317"},
        {"words_are_no_revision", [](auto& b) { b.SetErrorReply("o", "rev 7"); }, 0, "V2.05.0",
         "SN0042317"},
        {"bare_identification", [](auto& b) { b.SetIdentification("K740-3T"); }, 12, ".12",
         "SN0042317"},
        {"no_answer_to_serial", [](auto& b) { b.SetNoReply("r"); }, 12, "V2.05.12", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().ClearOverrides();
        Box().SetIdentification("K740-3T, V2.05 SPI interface");
        c.setUp(Box());
        platform::ClosePort(port);
        Probe();
        const TBoxIdentity id = TInterfaceSetup(port).ReadIdentity(identification);
        EXPECT_EQ(id.RevisionFW, c.revision);
        EXPECT_EQ(id.Version, c.version);
        EXPECT_EQ(id.Serial, c.serial);
    }
}

TEST_F(Protocol, SettingsThatFailWithoutAByteShowTheReplyTheBufferStillHolds) {
    Probe();
    TInterfaceSetup setup(port);
    setup.ReadIdentity(identification);  // "o" leaves "12" in the buffer
    pty->Unplug();                       // every write now fails
    setup.CheckSettings(Report());
    EXPECT_EQ(messages, (QStringList{"Interface error: Cp -> 12", "Interface error: G0:1 -> 12",
                                     "Interface error: D055 -> 12"}));
    EXPECT_EQ(log.first(), "Protocol settings: 12");
}

TEST_F(Protocol, ClockAndSupplyWithNoPort) {
    SetSpiClock(platform::InvalidHandle, 3, Report());
    SwitchSupplyOff(platform::InvalidHandle, Report());
    EXPECT_EQ(messages, (QStringList{"SPI Frequency setting 3 failed!",
                                     "Error setting power supply! (f) -> ()"}));
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(QuerySupplyStatus(platform::InvalidHandle), "");
}

// ------------------------------------------------------------ encoder read

TEST_F(Protocol, EncoderReadForEachFrame) {
    struct Case {
        const char* name;
        k740sim::EncoderKind kind;
        bool advanced;
        bool lowerWithBlanks;
        QByteArray command;
    };
    const Case cases[] = {
        {"advanced", k740sim::EncoderKind::Advanced, true, false, "?06:006"},
        {"simple", k740sim::EncoderKind::Simple, false, false, "?04:004"},
        {"advanced_lower_case_with_blanks", k740sim::EncoderKind::Advanced, true, true, "?06:006"},
    };
    Probe();
    SwitchSupplyOn5V(port, Report());  // an encoder without supply answers all ones
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Box().SetEncoder(c.kind);
        Box().SetLowerCaseWithBlanks(c.lowerWithBlanks);
        Box().SetPosition(1000000);
        Box().ClearCommands();
        TEncoderPosition pos;
        const TEncoderRead read = SendEncoderRead(port, c.advanced, pos);
        EXPECT_EQ(read.Command, c.command);
        EXPECT_EQ(Box().Commands(), (Commands{c.command.toStdString()}));
        EXPECT_EQ(pos.ErrComm, TR_OK);
        const QByteArray served =
            QByteArray::fromStdString(Box().Frames().back()).replace(' ', "").toUpper();
        EXPECT_EQ(read.Reply, QString::fromLatin1(served));
        EXPECT_EQ(pos.RxData, served);
        std::int32_t status = 0;
        pos.Resolution_unit = ResolutionUnit(0);
        ASSERT_TRUE(DecodeFrame(c.advanced, 0, pos, status).LengthOk);
        EXPECT_EQ(pos.Position_cnt, 1000000);
        EXPECT_EQ(pos.Position_unit, 244.140625);
    }
}

TEST_F(Protocol, FailedEncoderReadChangesOnlyTheResult) {
    TEncoderPosition pos;
    pos.RxData = "03D090300920";
    const TEncoderRead read = SendEncoderRead(platform::InvalidHandle, true, pos);
    EXPECT_EQ(pos.ErrComm, TR_NOPORT);
    EXPECT_EQ(pos.RxData, "03D090300920");
    EXPECT_TRUE(read.Reply.isEmpty());
}

// ------------------------------------------------------------ the rules

TEST(Detection, OutcomeTable) {
    const TDetectionRead goodAdvanced{false, TR_OK, false, false, 1000000};
    const TDetectionRead crcFailed{false, TR_OK, true, true, 1000000};
    struct Case {
        const char* name;
        TDetectionRead advanced;
        std::optional<TDetectionRead> simple;
        TDetection expected;
    };
    const Case cases[] = {
        {"advanced_crc_matches", goodAdvanced, {}, TDetection::Advanced},
        {"advanced_taken_on_its_crc_alone",
         {false, TR_OK, false, true, 0},
         {},
         TDetection::Advanced},
        {"advanced_transaction_failed",
         {false, TR_TIMEOUT, false, false, 0},
         {},
         TDetection::InterfaceLost},
        {"advanced_no_port", {false, TR_NOPORT, true, true, 0}, {}, TDetection::InterfaceLost},
        // The previous reading's flags would pass: a refusal must not.
        {"advanced_refused", {true, TR_OK, false, false, 5}, {}, TDetection::ReplyRefused},
        {"advanced_crc_fails_asks_for_simple", crcFailed, {}, TDetection::ReadSimple},
        {"simple_good", crcFailed, TDetectionRead{false, TR_OK, true, false, 1},
         TDetection::Simple},
        {"simple_at_count_zero", crcFailed, TDetectionRead{false, TR_OK, true, false, 0},
         TDetection::KeepSearching},
        {"simple_negative_count", crcFailed, TDetectionRead{false, TR_OK, true, false, -1},
         TDetection::KeepSearching},
        {"simple_count_above_32_bits", crcFailed,
         TDetectionRead{false, TR_OK, true, false, std::int64_t(1) << 32}, TDetection::Simple},
        {"simple_trailing_bits", crcFailed, TDetectionRead{false, TR_OK, true, true, 1000},
         TDetection::KeepSearching},
        {"simple_transaction_failed", crcFailed, TDetectionRead{false, -5, true, false, 1000},
         TDetection::InterfaceLost},
        {"simple_refused", crcFailed, TDetectionRead{true, TR_OK, true, false, 1000},
         TDetection::ReplyRefused},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DetectEncoder(c.advanced, c.simple), c.expected) << c.name;
}

TEST(Detection, FoundVariantNamesItsItemPartNumberAndLogLine) {
    const QStringList& config = EncoderConfigurationItems();
    const QString binary = EncoderResolutionItems().at(0);
    EXPECT_EQ(DetectedConfig(TDetection::Advanced), TEncoderConfig::SPD);
    EXPECT_EQ(DetectedConfig(TDetection::Simple), TEncoderConfig::SPC);
    EXPECT_EQ(ComposePartNumber(config.at(int(TEncoderConfig::SPD)), binary), "TQ55SPDxxB");
    EXPECT_EQ(ComposePartNumber(config.at(int(TEncoderConfig::SPC)), binary), "TQ55SPCxxB");
    EXPECT_EQ(VariantLogLine(TDetection::Advanced), "SPB or SPD communication variant.");
    EXPECT_EQ(VariantLogLine(TDetection::Simple), "SPA or SPC communication variant.");
    // Which items read the advanced frame, and the resolutions.
    for (const auto& [item, advanced] :
         {std::pair{-1, false}, {0, false}, {1, true}, {2, false}, {3, true}})
        EXPECT_EQ(IsAdvancedConfig(item), advanced) << item;
    EXPECT_EQ(ResolutionUnit(0), 0.000244140625);
    EXPECT_EQ(ResolutionUnit(1), 0.00025);
}

TEST(Reading, OutcomeTable) {
    struct Case {
        const char* name;
        std::int32_t errComm;
        bool errCrc, errTimeout;
        TReadingOutcome expected;
    };
    const Case cases[] = {
        {"good_advanced", TR_OK, false, false, TReadingOutcome::Good},
        {"trailing_bits_with_good_crc_is_good", TR_OK, false, true, TReadingOutcome::Good},
        {"simple_frame_always_has_crc_flag", TR_OK, true, false, TReadingOutcome::Good},
        {"both_flags_lose_the_encoder", TR_OK, true, true, TReadingOutcome::EncoderLost},
        {"time_out_loses_the_interface", TR_TIMEOUT, false, false, TReadingOutcome::InterfaceLost},
        {"failed_transaction_wins_over_flags", TR_NOPORT, true, true,
         TReadingOutcome::InterfaceLost},
    };
    for (const auto& c : cases) {
        TEncoderPosition pos;
        pos.ErrComm = c.errComm;
        pos.ErrCRC = c.errCrc;
        pos.ErrTimeout = c.errTimeout;
        EXPECT_EQ(ClassifyReading(pos), c.expected) << c.name;
    }
}

}  // namespace
